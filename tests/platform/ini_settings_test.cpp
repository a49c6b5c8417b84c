#include <gtest/gtest.h>

#include "platform/ini_settings_store.h"
#include "platform/ini_text.h"
#include "tests/support/temp_dir.h"

namespace vmrk::platform {
namespace {

struct AssignCase {
  const char* name;
  friend void PrintTo(const AssignCase& c, std::ostream* os) { *os << c.name; }
  std::string before;
  std::string after;
};

class IniAssignTest : public testing::TestWithParam<AssignCase> {};

TEST_P(IniAssignTest, ChangesOnlyTheValue) {
  EXPECT_EQ(IniAssign(GetParam().before, "vmrmovie", "maintimer", "1"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniAssignTest,
    testing::Values(
        AssignCase{"emptyFile", "", "[vmrmovie]\nmaintimer=1\n"},
        AssignCase{"replaceValue", "[vmrmovie]\nmaintimer=0\n", "[vmrmovie]\nmaintimer=1\n"},
        AssignCase{"caseOfNames", "[VmrMovie]\nMainTimer = 0\n", "[VmrMovie]\nmaintimer=1\n"},
        AssignCase{"keepsOthers", "[a]\nx=1\n[vmrmovie]\nother=2\n[b]\ny=3\n",
                   "[a]\nx=1\n[vmrmovie]\nother=2\nmaintimer=1\n[b]\ny=3\n"},
        AssignCase{"sameKeyOtherSection", "[a]\nmaintimer=5\n", "[a]\nmaintimer=5\n[vmrmovie]\nmaintimer=1\n"},
        AssignCase{"crlfKept", "[vmrmovie]\r\nmaintimer=0\r\nz=9\r\n", "[vmrmovie]\r\nmaintimer=1\r\nz=9\r\n"},
        AssignCase{"noFinalNewline", "[vmrmovie]\nz=9", "[vmrmovie]\nz=9\nmaintimer=1\n"},
        AssignCase{"commentNotAKey", "[vmrmovie]\n;maintimer=0\n", "[vmrmovie]\n;maintimer=0\nmaintimer=1\n"}),
    [](const testing::TestParamInfo<AssignCase>& info) { return std::string(info.param.name); });

TEST(IniLookup, FindsValuesExactly) {
  std::string doc = "[other]\nmaintimer=7\n[vmrmovie]\nmaintimer=1 \nempty=\n";
  EXPECT_EQ(IniLookup(doc, "vmrmovie", "maintimer").value(), "1 ");
  EXPECT_EQ(IniLookup(doc, "VMRMOVIE", "MAINTIMER").value(), "1 ");
  EXPECT_EQ(IniLookup(doc, "vmrmovie", "empty").value(), "");
  EXPECT_FALSE(IniLookup(doc, "vmrmovie", "none").has_value());
  EXPECT_FALSE(IniLookup("", "vmrmovie", "maintimer").has_value());
}

TEST(IniSettingsStore, RoundTripInARealFile) {
  test::TempDir dir;
  // The configuration folder of a fresh account may not exist yet.
  IniSettingsStore store(dir.Sub("config"));
  EXPECT_EQ(store.Read("tesk", "vmrmovie", "maintimer", "0"), "0");
  ASSERT_TRUE(store.Write("tesk", "vmrmovie", "maintimer", "1").ok());
  EXPECT_EQ(store.Read("tesk", "vmrmovie", "maintimer", "0"), "1");
  EXPECT_EQ(dir.Read("config/tesk.ini"), "[vmrmovie]\nmaintimer=1\n");
  ASSERT_TRUE(store.Write("tesk", "vmrmovie", "other", "x").ok());
  ASSERT_TRUE(store.Write("tesk", "vmrmovie", "maintimer", "0").ok());
  EXPECT_EQ(store.Read("tesk", "vmrmovie", "other", ""), "x");
  EXPECT_EQ(store.Read("tesk", "vmrmovie", "maintimer", ""), "0");
}

TEST(IniSettingsStore, UnwritableFolderReportsFailure) {
  IniSettingsStore store("/proc/no-such-folder");
  EXPECT_FALSE(store.Write("tesk", "vmrmovie", "maintimer", "1").ok());
  EXPECT_EQ(store.Read("tesk", "vmrmovie", "maintimer", "0"), "0");
}

}  // namespace
}  // namespace vmrk::platform
