#include "updatelist/update_list.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

struct LinesCase {
  const char* name;
  std::string text;
  std::vector<std::string> lines;
  friend void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }
};

class UpdateListLinesTest : public testing::TestWithParam<LinesCase> {};

TEST_P(UpdateListLinesTest, FollowsTheLineRule) {
  std::vector<std::string> got;
  for (std::string_view line : UpdateListLines(GetParam().text)) got.emplace_back(line);
  EXPECT_EQ(got, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateListLinesTest,
    testing::Values(
        LinesCase{"empty", "", {}},
        LinesCase{"noLineEnd", "app\\a?1*2008-1-1", {}},
        LinesCase{"lastLineWithoutEndIgnored", "app\\a?1*x\r\napp\\b?2*y", {"app\\a?1*x"}},
        LinesCase{"shortLinesSkipped", "app\\a?1*x\r\n\r\nabc\r\nab\r\napp\\b?2*y\r\n", {"app\\a?1*x", "app\\b?2*y"}},
        LinesCase{"beginsWithLineEnd", "\r\napp\\a?1*x\r\n", {}},
        LinesCase{"fourCharacters", "abcd\r\n", {"abcd"}},
        LinesCase{"threeChineseCharactersAreShort", "皮肤蓝\r\n皮肤蓝色\r\n", {"皮肤蓝色"}},
        LinesCase{"loneLfIsNoLineEnd", "app\\a?1*x\napp\\b?2*y\r\n", {"app\\a?1*x\napp\\b?2*y"}}),
    [](const testing::TestParamInfo<LinesCase>& info) { return std::string(info.param.name); });

struct SplitCase {
  const char* name;
  std::string line;
  bool ok;
  UpdateListEntry entry;
  friend void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }
};

class SplitLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitLineTest, CutsAtTheFirstSeparators) {
  Result<UpdateListEntry> entry = SplitUpdateListLine(GetParam().line);
  ASSERT_EQ(entry.ok(), GetParam().ok) << entry.status().message();
  if (!entry.ok()) {
    EXPECT_EQ(entry.status().kind(), Status::Kind::kInvalid);
    EXPECT_FALSE(entry.status().message().empty());
    return;
  }
  EXPECT_EQ(entry->Location, GetParam().entry.Location);
  EXPECT_EQ(entry->Size, GetParam().entry.Size);
  EXPECT_EQ(entry->Modified, GetParam().entry.Modified);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitLineTest,
    testing::Values(
        SplitCase{"plain", "app\\a.exe?512*2008-05-12 14:30:05", true, {"app\\a.exe", "512", "2008-05-12 14:30:05"}},
        SplitCase{"trailingSpacesKept", "win\\b.dll?0*2008-5-12  ", true, {"win\\b.dll", "0", "2008-5-12  "}},
        SplitCase{"chinese", "app\\皮肤\\蓝.dat?7*2008-5-12", true, {"app\\皮肤\\蓝.dat", "7", "2008-5-12"}},
        SplitCase{"secondQuestionMarkInDate", "app\\a?1*x?y", true, {"app\\a", "1", "x?y"}},
        SplitCase{"noQuestionMark", "app\\a1*x", false, {}},
        SplitCase{"noStar", "app\\a?1x", false, {}},
        SplitCase{"starFirst", "app\\a*1?x", false, {}},
        SplitCase{"shortLocation", "ap?1*x", false, {}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(ListSize, DecimalCountsWithinThirtyTwoBits) {
  EXPECT_EQ(ParseListSize("0"), 0);
  EXPECT_EQ(ParseListSize("2147483647"), 2147483647);
  EXPECT_FALSE(ParseListSize("2147483648"));
  EXPECT_FALSE(ParseListSize("-1"));
  EXPECT_FALSE(ParseListSize(""));
  EXPECT_FALSE(ParseListSize("1 "));
  EXPECT_FALSE(ParseListSize("99999999999"));
}

TEST(ReadUpdateList, StopsAtTheFirstMalformedLineAndSaysWhere) {
  const std::string list =
      "app\\a?1*2008-5-12\r\n\r\nwin\\b?2*2008-5-13 10:00\r\napp\\c?x*2008-5-12\r\napp\\d?4*2008-5-12\r\n";
  Result<std::vector<UpdateListEntry>> read = ReadUpdateList(list);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.status().kind(), Status::Kind::kInvalid);
  EXPECT_EQ(read.status().message().rfind("line 4: size", 0), 0u) << read.status().message();
  std::vector<UpdateListEntry> entries = WellFormedUpdateListPrefix(list);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].Location, "win\\b");

  read = ReadUpdateList("app\\a?1*2008-2-30\r\n");
  EXPECT_TRUE(WellFormedUpdateListPrefix("app\\a?1*2008-2-30\r\n").empty());
  EXPECT_NE(read.status().message().find("date"), std::string::npos);

  read = ReadUpdateList("app\\a?1*2008-5-12\r\n");
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read->size(), 1u);
  EXPECT_EQ(FormatUpdateListLine((*read)[0]), "app\\a?1*2008-5-12\r\n");
  EXPECT_EQ(WellFormedUpdateListPrefix("app\\a?1*2008-5-12\r\n").size(), 1u);
}

}  // namespace
}  // namespace vmrk
