#include <gtest/gtest.h>

#include "app/ftp_source_list.h"

TEST(SourceItems, ItemsBlanksAndBounds) {
  auto ExtractItem = [](const std::string& list, int number, char delimiter) {
    return ItemAt(SplitItems(list, delimiter), number);
  };
  EXPECT_EQ(ExtractItem("a.txt;b.txt", 1, ';'), "a.txt");
  EXPECT_EQ(ExtractItem("a.txt;b.txt", 0, ';'), "a.txt");   // 1 or less: the first
  EXPECT_EQ(ExtractItem("a.txt;b.txt", -5, ';'), "a.txt");
  EXPECT_EQ(ExtractItem("a.txt;b.txt", 2, ';'), "b.txt");
  EXPECT_EQ(ExtractItem("a.txt;b.txt", 3, ';'), "");
  EXPECT_EQ(ExtractItem("a.txt;;b.txt", 2, ';'), "");        // empty item
  EXPECT_EQ(ExtractItem("a.txt;;b.txt", 3, ';'), "b.txt");
  EXPECT_EQ(ExtractItem("  a.txt ;   b  c.txt  ", 2, ';'), " b c.txt");  // leading blank stays
  EXPECT_EQ(ExtractItem("  a.txt ;", 1, ';'), "a.txt");
  EXPECT_EQ(ExtractItem("*.CSV;", 1, ';'), "*.CSV");
  EXPECT_EQ(ExtractItem("", 1, ';'), "");
  EXPECT_EQ(ExtractItem(";", 1, ';'), "");
  // The whole list takes part, however long.
  std::string longList = std::string(250, 'x') + ";abcdefgh";
  EXPECT_EQ(ExtractItem(longList, 2, ';'), "abcdefgh");
  EXPECT_EQ(ExtractItem("a;b", 2147483647, ';'), "");
}

TEST(MatchMask, WildcardsAndInversion) {
  EXPECT_TRUE(MatchMask("REPORT.CSV", "*.CSV"));
  EXPECT_FALSE(MatchMask("REPORT.CSV.BAK", "*.CSV"));
  EXPECT_TRUE(MatchMask("REPORT.CSV", "%.CSV"));
  EXPECT_TRUE(MatchMask("A1.TXT", "A?.TXT"));
  EXPECT_FALSE(MatchMask("A.TXT", "A?.TXT"));
  EXPECT_TRUE(MatchMask("", "*"));
  EXPECT_TRUE(MatchMask("ANY", "*"));
  EXPECT_TRUE(MatchMask("", ""));
  EXPECT_FALSE(MatchMask("X", ""));
  EXPECT_FALSE(MatchMask("", "?"));
  EXPECT_TRUE(MatchMask("REPORT", "REPORT*"));
  EXPECT_TRUE(MatchMask("AXBXC", "A*B*C"));
  EXPECT_FALSE(MatchMask("AXBXD", "A*B*C"));
  EXPECT_TRUE(MatchMask("DATA.TMP", "!*.CSV"));
  EXPECT_FALSE(MatchMask("DATA.TMP", "!*.TMP"));
  EXPECT_TRUE(MatchMask("<START>", "!*.TMP"));
  // "\" followed by any character matches a literal wildcard character of the name.
  EXPECT_TRUE(MatchMask("A*B", "A\\*B"));
  EXPECT_TRUE(MatchMask("A?B", "A\\xB"));
  EXPECT_FALSE(MatchMask("AXB", "A\\*B"));
  EXPECT_FALSE(MatchMask("report.csv", "*.CSV"));  // callers upper-case both sides
}

TEST(MatchMask, LongAndPathologicalInputsStayFast) {
  std::string name(20000, 'A');
  std::string mask;
  for (int i = 0; i < 2000; ++i) mask += "*A";
  mask += "*B";
  EXPECT_FALSE(MatchMask(name, mask));  // would take forever with naive backtracking
  EXPECT_TRUE(MatchMask(name + "B", mask));
  EXPECT_TRUE(MatchMask(std::string(5000, 'Q') + ".CSV", "*.CSV"));
}

TEST(SafeLocalName, OnlyNamesThatStayBelowTheFolder) {
  EXPECT_TRUE(IsSafeLocalName("data.csv", true));
  EXPECT_TRUE(IsSafeLocalName("..data", true));
  EXPECT_FALSE(IsSafeLocalName("../evil", true));
  EXPECT_FALSE(IsSafeLocalName("..", true));
  EXPECT_FALSE(IsSafeLocalName("/etc/passwd", false));
  EXPECT_FALSE(IsSafeLocalName("\\evil", false));
  EXPECT_FALSE(IsSafeLocalName("C:evil", false));
  EXPECT_FALSE(IsSafeLocalName("sub/../../evil", false));
  EXPECT_FALSE(IsSafeLocalName("sub\\..\\evil", false));
  EXPECT_TRUE(IsSafeLocalName("sub/file.txt", false));   // a profile may name sub-folders
  EXPECT_FALSE(IsSafeLocalName("sub/file.txt", true));   // a listing may not
  EXPECT_FALSE(IsSafeLocalName("", false));
  // Names of the shape of the program's own files beside a destination would be taken for them.
  EXPECT_FALSE(IsSafeLocalName(".x.quodra-part", true));
  EXPECT_FALSE(IsSafeLocalName("sub/.x.quodra-journal", false));
  EXPECT_FALSE(IsSafeLocalName(".temp.tftp.ab12cd.part", true));
  EXPECT_TRUE(IsSafeLocalName(".holiday.backup.part", true));
}

TEST(FolderPart, UpToTheLastSeparator) {
  EXPECT_EQ(FolderPart("file.txt"), "");
  EXPECT_EQ(FolderPart("pub/data/file.txt"), "pub/data/");
  EXPECT_EQ(FolderPart("pub\\file.txt"), "pub\\");
  EXPECT_EQ(FolderPart("C:file"), "C:");
}
