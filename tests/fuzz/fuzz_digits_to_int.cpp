// Numbers typed into a profile. DigitsToInt is compared with a reading of its rules in
// 64-bit arithmetic: keep the digits and '-' of the first 20 characters; one optional
// leading '-', then digits, within int.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/digits_to_int.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

int Reference(const std::string& text) {
  std::string kept;
  for (size_t i = 0; i < text.size() && i < 20; ++i)
    if ((text[i] >= '0' && text[i] <= '9') || text[i] == '-') kept += text[i];
  size_t at = kept.size() && kept[0] == '-' ? 1 : 0;
  if (at == kept.size()) return 0;
  long long v = 0;
  for (size_t i = at; i < kept.size(); ++i) {
    if (kept[i] == '-') return 0;
    v = v * 10 + (kept[i] - '0');
    if (v > 1LL + INT_MAX) return 0;
  }
  if (at) v = -v;
  return v < INT_MIN || v > INT_MAX ? 0 : static_cast<int>(v);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Check(quodra::app::DigitsToInt(text) == Reference(text));
  return 0;
}
