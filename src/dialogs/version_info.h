#pragma once
// The program's version block as the about box shows it.
#include <array>
#include <optional>
#include <string>

namespace quodra::dialogs {

struct TVersionBlock {
  std::array<unsigned, 4> FileVersion{};
  std::array<unsigned, 4> ProductVersion{};
  int FileType = 0;  // 1 application, 2 dynamic library, ...
  // Version strings; an empty optional is a string the block does not have.
  std::optional<std::string> FileDescription;
  std::optional<std::string> LegalCopyright;
  std::optional<std::string> Comments;
  std::optional<std::string> CompanyName;
  std::optional<std::string> InternalName;
  std::optional<std::string> LegalTrademarks;
  std::optional<std::string> OriginalFilename;
  std::optional<std::string> PrivateBuild;
  std::optional<std::string> ProductName;
  std::optional<std::string> SpecialBuild;
};

// The block generated into the build ("version_block.h").
TVersionBlock ProgramVersionBlock();

// "2.0 Professional", "1.10 Professional", "1.2.3.40 Professional": trailing zero parts are
// dropped, but at least major.minor remains.
std::string FileVersionText(const std::array<unsigned, 4>& v);
// All four parts joined by ".", then " Professional".
std::string ProductVersionText(const std::array<unsigned, 4>& v);
// "Application", "Dynamic-Link Library", ... "Unknown".
std::string FileTypeText(int fileType);

}  // namespace quodra::dialogs
