#pragma once
// The walk's work list: the last listing, from which plain names are looked up and masks take
// their matches. Every step costs the same however long the listing is: taken entries are only
// marked, and a search by the same mask goes on where it stopped. A view (the window's
// directory list) derives from it and follows the taken entries through OnTaken.
#include <string>
#include <unordered_map>
#include <vector>

#include "jobs/remote_side.h"

namespace quodra::jobs {

class TWalkList {
 public:
  virtual ~TWalkList() = default;

  // A new listing replaces the old one; every mask search starts again from its top.
  void Assign(const std::vector<TRemoteEntry>& entries);
  void Reset();
  // Whether an entry not taken yet has this name (letter case aside); markers count.
  bool Contains(const std::string& name) const;
  // Takes the next entry not taken yet that the mask matches (upper-cased on both sides;
  // markers never match); "" when none is left. `kind` gets what the listing says of it.
  std::string TakeMatch(const std::string& mask, TEntryKind* kind = nullptr);
  // Takes the first entry not taken yet with this name, as a fresh listing after its
  // deletion would no longer hold it; nothing when there is none.
  void Remove(const std::string& name);
  size_t Size() const { return Entries.size(); }

 protected:
  enum class TState { Listed, Taken, Gone };  // Gone: taken, and out of a view
  struct TEntry {
    std::string Name, Upper;
    TEntryKind Kind = TEntryKind::Unknown;
    TState State = TState::Listed;
    bool Marker = false;  // shown by a view, never a file of the listing
  };
  void Add(const std::string& name, TEntryKind kind, bool marker);
  virtual void OnTaken() {}

  std::vector<TEntry> Entries;

 private:
  void Take(TEntry& e);

  std::unordered_map<std::string, int> Listed;       // upper-cased name: entries not taken
  std::unordered_map<std::string, size_t> MaskFrom;  // upper-cased mask: where its search goes on
};

}  // namespace quodra::jobs
