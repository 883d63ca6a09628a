#pragma once
// Small text helpers shared by every layer (8-bit text, ASCII case rules).
#include <string>

namespace quodra::host {

std::string UpperCase(std::string s);
bool EqualsNoCase(const std::string& a, const std::string& b);
// Removes blanks and control characters (<= ' ') at both ends, like the classic Trim.
std::string Trim(const std::string& s);
std::string TrimRight(const std::string& s);
// Appends the UTF-8 form of the code point `cp` (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace quodra::host
