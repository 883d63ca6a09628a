#pragma once
// The message tables. A table is a "STR0" blob, little-endian:
//   "STR0", entry count N (u32), N entries {id u32, byte offset u32, length in UTF-16 units u32}
//   sorted by id, then the UTF-16LE texts packed without terminators.
// The program carries two tables, compiled from resources/strings/ at build time and embedded
// as Qt resources: "QP_ERROR_STRINGS_ENGLISH" and "QP_STRMGR_STRINGS".
#include <cstdint>
#include <memory>
#include <string>

namespace quodra::port {

inline constexpr char kErrorStringsTable[] = "QP_ERROR_STRINGS_ENGLISH";
inline constexpr char kStrMgrStringsTable[] = "QP_STRMGR_STRINGS";

class TQpStringResource {
 public:
  // Opens table `name`: first as a file "<name>.str0" in the folder `module` (when not empty),
  // then among the program's embedded tables. Raises EQpStringResourceError when the table is
  // missing ("String resource not found: %s"), unreadable ("Unable to open string resource: %s")
  // or not a table ("Invalid string table resource").
  explicit TQpStringResource(const std::string& name, const std::string& module = {});
  ~TQpStringResource();
  TQpStringResource(const TQpStringResource&) = delete;
  TQpStringResource& operator=(const TQpStringResource&) = delete;

  // A table held in memory (tests and fuzzing); checked like an opened one.
  static std::unique_ptr<TQpStringResource> FromBytes(std::string bytes, const std::string& name = "memory");

  // The text of `id` (UTF-8), or an empty text when the table lacks it. With RaiseOnMissing
  // an absent id raises EQpStringResourceError "String not found: %d" instead.
  std::string GetString(uint32_t id) const;
  bool HasString(uint32_t id) const;
  uint32_t Count() const { return EntryCount; }
  const std::string& Name() const { return TableName; }

  bool RaiseOnMissing = false;

 private:
  TQpStringResource() = default;
  void Check();  // signature and entry table size
  // Index of the entry for `id`, or -1.
  int64_t Find(uint32_t id) const;

  std::string TableName;
  std::string Data;
  uint32_t EntryCount = 0;
};

// The process-wide readers, opened at first use ("QP_STRMGR_STRINGS" first).
TQpStringResource& StrMgrStrings();
TQpStringResource& ErrorStrings();

// Text of a result code, at most 255 characters: the table text of |code| (taken as a 16-bit
// signed number), else the system's text for that number (errno range), with control
// characters turned into blanks and runs of blanks reduced to one; may be empty.
std::string QpLoadStr(int code);

// The system text for a number, cleaned as above; empty when the system has none.
std::string SystemMessageText(int code);

// Replaces "%d" / "%s" (the first one) in a table text.
std::string FormatTableText(const std::string& text, const std::string& value);

}  // namespace quodra::port
