// Source-list items and wildcard masks. MatchMask is compared with a plain dynamic-programming
// matcher of the same rules; SplitItems and ItemAt must give trimmed pieces of the list that hold no
// delimiter, and nothing past the last item.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ftp_source_list.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

// '*' and '%' any run, '?' one character, '\' plus a character: one of "*%?"; a lone
// trailing '\' is itself.
bool Reference(const std::string& name, const std::string& mask) {
  enum { kStar, kAny, kEscaped, kLiteral };
  std::vector<std::pair<int, char>> tokens;
  for (size_t j = 0; j < mask.size(); ++j) {
    char c = mask[j];
    if (c == '*' || c == '%') tokens.push_back({kStar, 0});
    else if (c == '?') tokens.push_back({kAny, 0});
    else if (c == '\\' && j + 1 < mask.size()) tokens.push_back({kEscaped, mask[++j]});
    else tokens.push_back({kLiteral, c});
  }
  const size_t n = name.size(), m = tokens.size();
  std::vector<std::vector<char>> ok(m + 1, std::vector<char>(n + 1, 0));
  ok[m][n] = 1;
  for (size_t t = m; t-- > 0;) {
    for (size_t i = n + 1; i-- > 0;) {
      auto [kind, c] = tokens[t];
      if (kind == kStar) {
        ok[t][i] = ok[t + 1][i] || (i < n && ok[t][i + 1]);
      } else if (i < n) {
        char x = name[i];
        bool one = kind == kAny || (kind == kEscaped && (x == '*' || x == '%' || x == '?')) ||
                   (kind == kLiteral && x == c);
        ok[t][i] = one && ok[t + 1][i + 1];
      }
    }
  }
  return ok[0][0];
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const int number = static_cast<int8_t>(data[1]);
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t cut = rest.find('\0');
  const std::string name = rest.substr(0, cut);
  const std::string mask = cut == std::string::npos ? std::string() : rest.substr(cut + 1);

  if (name.size() <= 300 && mask.size() <= 300) {
    const bool invert = !mask.empty() && mask[0] == '!';
    const bool expected = invert ? !Reference(name, mask.substr(1)) : Reference(name, mask);
    Check(MatchMask(name, mask) == expected);
  }

  const bool single = rest.find(delimiter) == std::string::npos;
  const std::vector<std::string> items = SplitItems(rest, delimiter);
  for (int k = 1; k <= 300; ++k) {
    const std::string item = ItemAt(items, k);
    Check(item.size() <= rest.size());
    Check(item.find(delimiter) == std::string::npos);
    Check(item.empty() || item.back() != ' ');
    Check(item.find("  ") == std::string::npos);
    if (single && k > 1) Check(item.empty());
  }
  Check(ItemAt(items, number) == ItemAt(items, number < 1 ? 1 : number));
  (void)IsMask(rest);
  return 0;
}
