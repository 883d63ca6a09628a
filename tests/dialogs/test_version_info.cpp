// Version texts of the about box and the generated version block.
#include <gtest/gtest.h>

#include "dialogs/version_info.h"
#include "version_block.h"

using namespace quodra::dialogs;

TEST(VersionInfo, FileVersionDropsTrailingZeroParts) {
  EXPECT_EQ(FileVersionText({2, 0, 0, 0}), "2.0 Professional");
  EXPECT_EQ(FileVersionText({1, 10, 0, 0}), "1.10 Professional");
  EXPECT_EQ(FileVersionText({1, 2, 3, 40}), "1.2.3.40 Professional");
  EXPECT_EQ(FileVersionText({3, 0, 1, 0}), "3.0.1 Professional");
  EXPECT_EQ(FileVersionText({1, 0, 0, 5}), "1.0.0.5 Professional");
  EXPECT_EQ(FileVersionText({0, 0, 0, 0}), "0.0 Professional");
  EXPECT_EQ(FileVersionText({65535, 65535, 65535, 65535}), "65535.65535.65535.65535 Professional");
}

TEST(VersionInfo, ProductVersionAndFileTypes) {
  EXPECT_EQ(ProductVersionText({2, 0, 0, 0}), "2.0.0.0 Professional");
  const std::pair<int, const char*> types[] = {
      {1, "Application"}, {2, "Dynamic-Link Library"}, {3, "Device Driver"},
      {4, "Font"},        {5, "Virtual Device Driver"}, {7, "Static-Link Library"},
      {0, "Unknown"},     {6, "Unknown"},              {-1, "Unknown"}};
  for (const auto& [type, text] : types) EXPECT_EQ(FileTypeText(type), text) << type;
}

TEST(VersionInfo, GeneratedBlockHasExactlyTheStringsItDeclares) {
  const TVersionBlock b = ProgramVersionBlock();
  EXPECT_EQ(b.FileVersion[0], quodra::version::kFileVersion[0]);
  EXPECT_EQ(b.ProductVersion[3], quodra::version::kProductVersion[3]);
  EXPECT_EQ(b.FileType, 1);
  ASSERT_TRUE(b.CompanyName);
  EXPECT_EQ(*b.CompanyName, quodra::version::kCompanyName);
  ASSERT_TRUE(b.ProductName);
  EXPECT_EQ(*b.ProductName, quodra::version::kProductName);
  ASSERT_TRUE(b.FileDescription);
  EXPECT_EQ(*b.FileDescription, quodra::version::kFileDescription);
  EXPECT_TRUE(b.InternalName && b.OriginalFilename && b.LegalCopyright);
  // Strings the generated block does not declare stay absent.
  EXPECT_FALSE(b.Comments);
  EXPECT_FALSE(b.LegalTrademarks);
  EXPECT_FALSE(b.PrivateBuild);
  EXPECT_FALSE(b.SpecialBuild);
}
