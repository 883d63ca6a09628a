#include "app/digits_to_int.h"

#include <charconv>

namespace quodra::app {

int DigitsToInt(const std::string& text) {
  std::string kept;
  const size_t n = text.size() < 20 ? text.size() : 20;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if ((c >= '0' && c <= '9') || c == '-') kept += c;
  }
  if (kept.empty()) return 0;
  int value = 0;
  const char* end = kept.data() + kept.size();
  auto [ptr, ec] = std::from_chars(kept.data(), end, value);
  // The whole kept text must be one number; an overflow is not one either.
  if (ec != std::errc() || ptr != end) return 0;
  return value;
}

}  // namespace quodra::app
