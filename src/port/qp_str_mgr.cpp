#include "port/qp_str_mgr.h"

#include <QFile>

#include <cstring>
#include <fstream>
#include <iterator>

#include "host/text_util.h"
#include "port/qp_except.h"

namespace quodra::port {
namespace {

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kEntrySize = 12;
constexpr size_t kMaxTextLength = 255;

uint32_t U32At(const std::string& d, size_t pos) {
  const auto* p = reinterpret_cast<const uint8_t*>(d.data()) + pos;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The strings of the reader's own messages; before (or without) its table they fall back to
// the built-in English texts so that a broken table can still be reported.
std::string ReaderMessage(int id, const std::string& value) {
  static const char* const kBuiltIn[] = {"", "String not found: %d", "Cannot lock resource",
                                         "String resource not found: %s", "Unable to open string resource: %s",
                                         "Invalid string table resource"};
  std::string text;
  try {
    text = StrMgrStrings().GetString(static_cast<uint32_t>(id));
  } catch (const EQpStringResourceError&) {
  }
  if (text.empty() && id >= 1 && id <= 5) text = kBuiltIn[id];
  return FormatTableText(text, value);
}

// Keeps at most `max` characters of UTF-8 text, never cutting a character in two.
std::string KeepCharacters(std::string s, size_t max) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) continue;
    if (chars == max) {
      s.resize(i);
      break;
    }
    ++chars;
  }
  return s;
}

std::string CleanSystemText(const std::string& in) {
  std::string s;
  for (char c : in) s += (static_cast<uint8_t>(c) < 32) ? ' ' : c;
  std::string out;
  for (char c : s)
    if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
  return out;
}

}  // namespace

TQpStringResource::TQpStringResource(const std::string& name, const std::string& module) : TableName(name) {
  bool found = false;
  if (!module.empty()) {
    std::string path = module;
    if (path.back() != '/') path += '/';
    path += name + ".str0";
    std::ifstream in(path, std::ios::binary);
    if (in) {
      found = true;
      Data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad()) throw EQpStringResourceError(ReaderMessage(smCannotOpen, name));
    }
  }
  if (!found) {
    QFile file(QString::fromStdString(":/strings/" + name + ".str0"));
    if (!file.exists()) throw EQpStringResourceError(ReaderMessage(smResourceNotFound, name));
    if (!file.open(QIODevice::ReadOnly)) throw EQpStringResourceError(ReaderMessage(smCannotOpen, name));
    QByteArray bytes = file.readAll();
    Data.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
  }
  Check();
}

TQpStringResource::~TQpStringResource() = default;

std::unique_ptr<TQpStringResource> TQpStringResource::FromBytes(std::string bytes, const std::string& name) {
  std::unique_ptr<TQpStringResource> r(new TQpStringResource());
  r->TableName = name;
  r->Data = std::move(bytes);
  r->Check();
  return r;
}

void TQpStringResource::Check() {
  if (Data.size() < kHeaderSize || std::memcmp(Data.data(), "STR0", 4) != 0)
    throw EQpStringResourceError(ReaderMessage(smInvalidTable, TableName));
  uint64_t count = U32At(Data, 4);
  // An entry table that runs past the end is no table: refuse it rather than read beyond.
  if (kHeaderSize + count * kEntrySize > Data.size())
    throw EQpStringResourceError(ReaderMessage(smInvalidTable, TableName));
  EntryCount = static_cast<uint32_t>(count);
}

int64_t TQpStringResource::Find(uint32_t id) const {
  int64_t lo = 0, hi = int64_t(EntryCount) - 1;
  while (lo <= hi) {
    int64_t mid = lo + (hi - lo) / 2;
    uint32_t midId = U32At(Data, kHeaderSize + size_t(mid) * kEntrySize);
    if (midId == id) return mid;
    if (midId < id)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return -1;
}

bool TQpStringResource::HasString(uint32_t id) const { return Find(id) >= 0; }

std::string TQpStringResource::GetString(uint32_t id) const {
  int64_t index = Find(id);
  if (index < 0) {
    if (RaiseOnMissing) throw EQpStringResourceError(ReaderMessage(smStringNotFound, std::to_string(id)));
    return {};
  }
  size_t entry = kHeaderSize + size_t(index) * kEntrySize;
  uint64_t offset = U32At(Data, entry + 4);
  uint64_t units = U32At(Data, entry + 8);
  // A text that does not lie inside the table reads as absent.
  if (offset > Data.size() || units * 2 > Data.size() - offset) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(Data.data()) + offset;
  std::string out;
  out.reserve(size_t(units));
  for (uint64_t i = 0; i < units; ++i) {
    uint32_t u = p[2 * i] | (uint32_t(p[2 * i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t lo = p[2 * i + 2] | (uint32_t(p[2 * i + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        quodra::host::AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = '?';  // a lone surrogate has no character
    quodra::host::AppendUtf8(out, u);
  }
  return out;
}

TQpStringResource& StrMgrStrings() {
  static TQpStringResource table(kStrMgrStringsTable);
  return table;
}

TQpStringResource& ErrorStrings() {
  StrMgrStrings();  // the reader's own messages come first
  static TQpStringResource table(kErrorStringsTable);
  return table;
}

std::string FormatTableText(const std::string& text, const std::string& value) {
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '%' && (text[i + 1] == 'd' || text[i + 1] == 's'))
      return text.substr(0, i) + value + text.substr(i + 2);
  return text;
}

std::string SystemMessageText(int code) {
  if (code <= 0 || code >= 4096) return {};
  const char* text = strerrordesc_np(code);
  if (!text) return {};
  return KeepCharacters(CleanSystemText(text), kMaxTextLength);
}

std::string QpLoadStr(int code) {
  int16_t c16 = static_cast<int16_t>(code);
  uint32_t id = static_cast<uint32_t>(c16 < 0 ? -int32_t(c16) : int32_t(c16));
  std::string text;
  try {
    text = ErrorStrings().GetString(id);
  } catch (const EQpStringResourceError&) {
    // A broken table was reported when it was opened; texts then come from the system.
  }
  if (!text.empty()) return KeepCharacters(text, kMaxTextLength);
  return SystemMessageText(int(id));
}

}  // namespace quodra::port
