#include "updatelist/list_date.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

struct DateCase {
  const char* name;
  std::string text;
  bool ok;
  platform::CivilTime time;
  friend void PrintTo(const DateCase& c, std::ostream* os) { *os << c.name; }
};

class ListDateTest : public testing::TestWithParam<DateCase> {};

TEST_P(ListDateTest, ReadsTheFormsWindowsWrites) {
  auto parsed = ParseListDate(GetParam().text);
  ASSERT_EQ(parsed.has_value(), GetParam().ok);
  if (parsed) EXPECT_EQ(*parsed, GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListDateTest,
    testing::Values(
        DateCase{"ourForm", "2008-05-12 14:30:05", true, {2008, 5, 12, 14, 30, 5}},
        DateCase{"chineseWindowsDash", "2008-5-12 14:30:05", true, {2008, 5, 12, 14, 30, 5}},
        DateCase{"chineseWindowsSlash", "2008/5/12 9:05:00", true, {2008, 5, 12, 9, 5, 0}},
        DateCase{"dots", "2008.5.12", true, {2008, 5, 12, 0, 0, 0}},
        DateCase{"midnightDateAlone", "2008-05-12", true, {2008, 5, 12, 0, 0, 0}},
        DateCase{"withoutSeconds", "2008-5-12 14:30", true, {2008, 5, 12, 14, 30, 0}},
        DateCase{"pmAfter", "2008-5-12 2:30:05 PM", true, {2008, 5, 12, 14, 30, 5}},
        DateCase{"amNoon", "2008-5-12 12:00:00 AM", true, {2008, 5, 12, 0, 0, 0}},
        DateCase{"pmNoon", "2008-5-12 12:10:00 PM", true, {2008, 5, 12, 12, 10, 0}},
        DateCase{"chineseAfternoonBefore", "2008-5-12 下午 2:30:05", true, {2008, 5, 12, 14, 30, 5}},
        DateCase{"chineseMorningJoined", "2008-5-12 上午9:30:05", true, {2008, 5, 12, 9, 30, 5}},
        DateCase{"trailingSpaces", "2008-5-12 14:30:05  ", true, {2008, 5, 12, 14, 30, 5}},
        DateCase{"leapDay", "2008-2-29", true, {2008, 2, 29, 0, 0, 0}},
        DateCase{"leapDay2000", "2000-2-29", true, {2000, 2, 29, 0, 0, 0}},
        DateCase{"noLeapDay", "2009-2-29", false, {}},
        DateCase{"noLeapDay1900", "1900-2-29", false, {}},
        DateCase{"april31", "2008-4-31", false, {}},
        DateCase{"month13", "2008-13-1", false, {}},
        DateCase{"day0", "2008-1-0", false, {}},
        DateCase{"hour24", "2008-1-1 24:00:00", false, {}},
        DateCase{"minute60", "2008-1-1 10:60", false, {}},
        DateCase{"pmHour13", "2008-1-1 13:00 PM", false, {}},
        DateCase{"mixedSeparators", "2008-5/12", false, {}},
        DateCase{"twoDigitYear", "08-5-12", false, {}},
        DateCase{"dayFirst", "12/5/2008", false, {}},
        DateCase{"trailingJunk", "2008-5-12 14:30:05x", false, {}},
        DateCase{"twoSpaces", "2008-5-12  14:30:05", false, {}},
        DateCase{"empty", "", false, {}},
        DateCase{"tooManyDigits", "2008-005-12", false, {}}),
    [](const testing::TestParamInfo<DateCase>& info) { return std::string(info.param.name); });

TEST(ListDate, WritesOneFormThatReadsBack) {
  EXPECT_EQ(FormatListDate({2008, 5, 12, 14, 30, 5}), "2008-05-12 14:30:05");
  EXPECT_EQ(FormatListDate({2008, 5, 12, 0, 0, 0}), "2008-05-12");
  EXPECT_EQ(FormatListDate({2008, 5, 12, 0, 0, 1}), "2008-05-12 00:00:01");
  for (platform::CivilTime t : {platform::CivilTime{2024, 2, 29, 23, 59, 59}, platform::CivilTime{1999, 12, 31, 0, 0, 0}})
    EXPECT_EQ(ParseListDate(FormatListDate(t)), t);
}

}  // namespace
}  // namespace vmrk
