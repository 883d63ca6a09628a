#include "host/byte_text.h"

#include <cstdint>

#include "host/text_util.h"

namespace quodra::host {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // + the byte (0x80..0xFF)

// The length of the UTF-8 character at `at` and its code point; 0 when the bytes there are
// no character (a stray byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
size_t CharacterAt(const std::string& s, size_t at, char32_t& cp) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t b0 = byte(at);
  size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || at + len > s.size()) return 0;
  cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t i = 1; i < len; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

QString TextOf(const std::string& bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (size_t at = 0; at < bytes.size();) {
    char32_t cp = 0;
    if (size_t len = CharacterAt(bytes, at, cp)) {
      text += QString::fromUcs4(&cp, 1);
      at += len;
    } else {
      text += QChar(static_cast<char16_t>(kEscapeBase + static_cast<uint8_t>(bytes[at])));
      ++at;
    }
  }
  return text;
}

std::string BytesOf(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t u = text[i].unicode();
    if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
      AppendUtf8(bytes, QChar::surrogateToUcs4(u, text[i + 1].unicode()));
      ++i;
    } else if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
      bytes += static_cast<char>(u - kEscapeBase);
    } else if (QChar::isSurrogate(u)) {
      AppendUtf8(bytes, 0xFFFD);  // half a pair, typed or pasted: no character
    } else {
      AppendUtf8(bytes, u);
    }
  }
  return bytes;
}

}  // namespace quodra::host
