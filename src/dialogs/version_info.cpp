#include "dialogs/version_info.h"

#include "version_block.h"

// Optional strings of the generated block: a string the block does not declare falls back to
// the marker below. A using-directive makes the block's names visible as members of `quodra`,
// which is searched before the global namespace, so a declared string always wins.
namespace quodra_version_fallback {
struct TAbsent {};
inline constexpr TAbsent kComments{};
inline constexpr TAbsent kLegalTrademarks{};
inline constexpr TAbsent kPrivateBuild{};
inline constexpr TAbsent kSpecialBuild{};
inline constexpr TAbsent kInternalName{};
inline constexpr TAbsent kOriginalFileName{};
inline constexpr TAbsent kCompanyName{};
inline constexpr TAbsent kProductName{};
inline constexpr TAbsent kFileDescription{};
inline constexpr TAbsent kLegalCopyright{};
}  // namespace quodra_version_fallback

namespace quodra::dialogs {
namespace {

std::optional<std::string> Present(const quodra_version_fallback::TAbsent&) { return std::nullopt; }
std::optional<std::string> Present(const char* text) { return std::string(text); }

}  // namespace

TVersionBlock ProgramVersionBlock() {
  using namespace quodra::version;
  using namespace quodra_version_fallback;
  TVersionBlock b;
  for (int i = 0; i < 4; ++i) {
    b.FileVersion[i] = kFileVersion[i];
    b.ProductVersion[i] = kProductVersion[i];
  }
  b.FileType = kFileType;
  b.FileDescription = Present(kFileDescription);
  b.LegalCopyright = Present(kLegalCopyright);
  b.Comments = Present(kComments);
  b.CompanyName = Present(kCompanyName);
  b.InternalName = Present(kInternalName);
  b.LegalTrademarks = Present(kLegalTrademarks);
  b.OriginalFilename = Present(kOriginalFileName);
  b.PrivateBuild = Present(kPrivateBuild);
  b.ProductName = Present(kProductName);
  b.SpecialBuild = Present(kSpecialBuild);
  return b;
}

std::string FileVersionText(const std::array<unsigned, 4>& v) {
  size_t parts = 4;
  while (parts > 1 && v[parts - 1] == 0) --parts;
  std::string text;
  for (size_t i = 0; i < parts; ++i) {
    if (i) text += '.';
    text += std::to_string(v[i]);
  }
  if (parts == 1) text += ".0";
  return text + " Professional";
}

std::string ProductVersionText(const std::array<unsigned, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]) + " Professional";
}

std::string FileTypeText(int fileType) {
  switch (fileType) {
    case 1: return "Application";
    case 2: return "Dynamic-Link Library";
    case 3: return "Device Driver";
    case 4: return "Font";
    case 5: return "Virtual Device Driver";
    case 7: return "Static-Link Library";
    default: return "Unknown";
  }
}

}  // namespace quodra::dialogs
