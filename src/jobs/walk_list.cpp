#include "walk_list.h"

#include "host/text_util.h"
#include "jobs/source_list.h"

namespace quodra::jobs {

using quodra::host::UpperCase;

void TWalkList::Reset() {
  Entries.clear();
  Listed.clear();
  MaskFrom.clear();
}

void TWalkList::Add(const std::string& name, TEntryKind kind, bool marker) {
  Entries.push_back({name, UpperCase(name), kind, TState::Listed, marker});
  ++Listed[Entries.back().Upper];
}

void TWalkList::Assign(const std::vector<TRemoteEntry>& entries) {
  Reset();
  Entries.reserve(entries.size());
  for (const TRemoteEntry& e : entries) Add(e.Name, e.Kind, false);
}

bool TWalkList::Contains(const std::string& name) const {
  auto it = Listed.find(UpperCase(name));
  return it != Listed.end() && it->second > 0;
}

void TWalkList::Take(TEntry& e) {
  e.State = TState::Taken;
  --Listed[e.Upper];
  OnTaken();
}

std::string TWalkList::TakeMatch(const std::string& mask, TEntryKind* kind) {
  const std::string upperMask = UpperCase(mask);
  // Entries before where this mask matched last did not match it, and nothing but a new
  // listing changes them: a walk over N names costs O(N).
  size_t& from = MaskFrom[upperMask];
  for (; from < Entries.size(); ++from) {
    TEntry& e = Entries[from];
    if (e.State != TState::Listed || e.Marker || !MatchMask(e.Upper, upperMask)) continue;
    Take(e);
    if (kind) *kind = e.Kind;
    return Entries[from++].Name;
  }
  return {};
}

void TWalkList::Remove(const std::string& name) {
  // Only names the profile lists by name are still untaken when deleted; they are few, so
  // a scan per deletion keeps the walk linear.
  if (!Contains(name)) return;
  // The deleted file's own entry. Names that differ in case alone are two files on most
  // servers: deleting one leaves the other to be fetched. Another spelling stands for the
  // file only where the listing has none in this one (a server that ignores case).
  const std::string upper = UpperCase(name);
  TEntry* spelledOtherwise = nullptr;
  for (TEntry& e : Entries) {
    if (e.Upper != upper) continue;
    if (e.Name == name) {
      if (e.State == TState::Listed) Take(e);
      return;
    }
    if (!spelledOtherwise && e.State == TState::Listed) spelledOtherwise = &e;
  }
  if (spelledOtherwise) Take(*spelledOtherwise);
}

}  // namespace quodra::jobs
