// The message-table reader on arbitrary blobs: it either refuses the blob or answers every
// lookup from inside it. Every id stored in a well-formed table is found again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "port/qp_except.h"
#include "port/qp_str_mgr.h"

using namespace quodra::port;

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Most mutants would fail the signature check; give the rest of the reader a chance too.
  std::string blob(reinterpret_cast<const char*>(data), size);
  if (size >= 1 && (data[0] & 1) && size >= 4) blob.replace(0, 4, "STR0");
  std::unique_ptr<TQpStringResource> table;
  try {
    table = TQpStringResource::FromBytes(blob);
  } catch (const EQpStringResourceError& e) {
    Check(std::string(e.what()) == "Invalid string table resource");
    return 0;
  }
  const auto* b = reinterpret_cast<const uint8_t*>(blob.data());
  const uint32_t count = table->Count();
  Check(8 + uint64_t(count) * 12 <= blob.size());
  bool sorted = true;
  for (uint32_t i = 1; i < count; ++i)
    if (U32(b + 8 + size_t(i - 1) * 12) >= U32(b + 8 + size_t(i) * 12)) sorted = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = b + 8 + size_t(i) * 12;
    std::string text = table->GetString(U32(e));
    // In a sorted table the lookup finds this very entry: at most 3 UTF-8 bytes per unit.
    if (sorted) {
      Check(table->HasString(U32(e)));
      Check(text.size() <= uint64_t(U32(e + 8)) * 3);
    }
  }
  // Ids taken from the tail of the blob, present or not.
  for (size_t at = 8 + size_t(count) * 12; at + 4 <= blob.size() && at < 8 + size_t(count) * 12 + 64; at += 4)
    table->GetString(U32(b + at));
  table->RaiseOnMissing = true;
  try {
    table->GetString(0xFFFFFFFFu);
  } catch (const EQpStringResourceError&) {
  }
  return 0;
}
