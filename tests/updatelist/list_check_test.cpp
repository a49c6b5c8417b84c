#include "updatelist/list_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <ctime>
#include <filesystem>

#include "platform/civil_time.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unsafe_locations.h"
#include "updatelist/location.h"

namespace vmrk {
namespace {

// The check's verdict and the rows it offers, as the window takes them.
struct Checked {
  Status status;
  std::vector<FileRow> rows;
};
Checked Check(std::string_view text, const test::TempDir& dir, const std::string& runningProgram = {}) {
  Checked checked;
  checked.status = CheckListText(text, dir.Sub("app"), dir.Sub("win"), runningProgram, &checked.rows);
  return checked;
}

// An installed file with the given local modification time.
void Install(const test::TempDir& dir, const std::string& relative, const std::string& content,
             platform::CivilTime local) {
  std::string path = dir.Write(relative, content);
  ASSERT_TRUE(platform::SetFileModifiedTime(path, *platform::LocalToUnixSeconds(local)).ok());
}

struct CheckCase {
  const char* name;
  std::string installed;  // relative to the test folder; "" for none
  std::string content;
  platform::CivilTime installedTime;
  std::string line;
  bool offered;
  friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }
};

class ListCheckTest : public testing::TestWithParam<CheckCase> {};

TEST_P(ListCheckTest, OffersMissingOlderAndEmptyFiles) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.Sub("app"));
  std::filesystem::create_directories(dir.Sub("win"));
  const CheckCase& c = GetParam();
  if (!c.installed.empty()) Install(dir, c.installed, c.content, c.installedTime);
  Checked result = Check(c.line + "\r\n", dir);
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(result.rows.size(), c.offered ? 1u : 0u);
}

constexpr platform::CivilTime kTen{2008, 5, 12, 10, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Rules, ListCheckTest,
    testing::Values(
        CheckCase{"missing", "", "", kTen, "app\\a.dll?1*2000-1-1", true},
        CheckCase{"sameMinuteOtherSeconds", "app/a.dll", "x", kTen, "app\\a.dll?1*2008-5-12 10:00:59", false},
        CheckCase{"oneMinuteOlder", "app/a.dll", "x", {2008, 5, 12, 10, 0, 59}, "app\\a.dll?1*2008-5-12 10:01:00",
                  true},
        CheckCase{"installedNewer", "app/a.dll", "x", kTen, "app\\a.dll?1*2008-5-12 9:00", false},
        CheckCase{"emptyInstalledEvenIfNewer", "app/a.dll", "", kTen, "app\\a.dll?1*2008-5-12 9:00", true},
        CheckCase{"hiddenCountsAsMissing", "app/.a.dll", "x", kTen, "app\\.a.dll?1*2008-5-12 9:00", true},
        CheckCase{"winRoot", "win/system32/b.ocx", "x", kTen, "win\\system32\\b.ocx?1*2008-5-12 9:00", false},
        CheckCase{"anyOtherRootIsWindows", "win/c.dll", "x", kTen, "xyz\\c.dll?1*2008-5-12 9:00", false},
        CheckCase{"capitalAppIsWindows", "win/d.dll", "x", kTen, "APP\\d.dll?1*2008-5-12 9:00", false},
        CheckCase{"capitalAppNotUnderApp", "app/e.dll", "x", kTen, "APP\\e.dll?1*2008-5-12 9:00", true},
        CheckCase{"midnightDate", "app/f.dll", "x", {2008, 5, 11, 23, 59, 0}, "app\\f.dll?1*2008-5-12", true},
        // stat() fails with ENAMETOOLONG: offered, and its install fails on its row.
        CheckCase{"unreadableCountsAsMissing", "", "", kTen, "app\\" + std::string(300, 'n') + "?1*2000-1-1", true},
        CheckCase{"folderOfTheNameCountsAsMissing", "app/g.dll/inner", "x", kTen, "app\\g.dll?1*2008-5-12 9:00",
                  true}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

// A release marked exact offers by bytes alone: what differs, whatever its
// date; what is the same, however old.
TEST(ListCheck, AnExactReleaseOffersEveryFileWhoseBytesDiffer) {
  const std::string line = "app\\a.dll?4*2008-5-12 10:00:01\r\n";
  const platform::CivilTime older{2001, 1, 1, 0, 0, 0}, newer{2020, 1, 1, 0, 0, 0};
  struct Case {
    const char* name;
    const char* installed;  // nullptr: none
    platform::CivilTime time;
    bool offered;
  } cases[] = {
      {"the same bytes, older", "same", older, false},
      {"the same bytes, newer", "same", newer, false},
      {"other bytes, newer", "diff", newer, true},
      {"another length, newer", "longer", newer, true},
      {"missing", nullptr, newer, true},
  };
  std::map<std::string, ManifestFile> exact = {{"app\\a.dll", {"app\\a.dll", platform::Sha256Bytes("same"), 4}}};
  for (const Case& c : cases) {
    test::TempDir dir;
    std::filesystem::create_directories(dir.Sub("app"));
    if (c.installed) Install(dir, "app/a.dll", c.installed, c.time);
    std::vector<FileRow> rows;
    ASSERT_TRUE(CheckListText(line, dir.Sub("app"), dir.Sub("win"), {}, &rows, &exact).ok()) << c.name;
    EXPECT_EQ(rows.size(), c.offered ? 1u : 0u) << c.name;
  }
}

TEST(ListCheck, RowsAreNumberedWithoutGapsAndKeepTheListsTexts) {
  test::TempDir dir;
  Install(dir, "app/uptodate.dll", "x", {2030, 1, 1, 0, 0, 0});
  Checked result = Check(
      "app\\a.dll?1536*2008-5-12 10:00:00\r\napp\\uptodate.dll?1*2008-5-12\r\nwin\\皮肤 蓝.dat?0*2008/5/12\r\n", dir);
  ASSERT_TRUE(result.status.ok());
  ASSERT_EQ(result.rows.size(), 2u);
  EXPECT_EQ(result.rows[0].number, "1");
  EXPECT_EQ(result.rows[0].location, "app\\a.dll");
  EXPECT_EQ(result.rows[0].size, "1k");
  EXPECT_EQ(result.rows[0].exactSize, 1536);
  EXPECT_EQ(result.rows[0].modified, "2008-5-12 10:00:00");
  EXPECT_EQ(result.rows[0].status, "等待");
  EXPECT_EQ(result.rows[1].number, "2");
  EXPECT_EQ(result.rows[1].location, "win\\皮肤 蓝.dat");
  EXPECT_EQ(result.rows[1].size, "0b");
  EXPECT_EQ(result.rows[1].modified, "2008/5/12");
}

TEST(ListCheck, TheUpdatersOwnProgramIsNotOfferedWhileItsSideFileWaits) {
  test::TempDir dir;
  const std::string own = platform::UpdaterProgramName();  // with ".exe" on Windows
  std::string shouted = own;
  for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Install(dir, "app/" + own, "old", {2000, 1, 1, 0, 0, 0});
  Install(dir, "app/tools/" + shouted, "old", {2000, 1, 1, 0, 0, 0});
  const std::string list = "app\\" + own + "?3*2008-5-12\r\napp\\tools\\" + shouted + "?3*2008-5-12\r\n";
  EXPECT_EQ(Check(list, dir).rows.size(), 2u);
  dir.Write("app/" + platform::SideFileName(), "new");
  EXPECT_EQ(Check(list, dir).rows.size(), 0u);
  // Known by identity: the running program under another spelling of its path.
  Install(dir, "app/renamed", "old", {2000, 1, 1, 0, 0, 0});
  std::error_code linkError;  // Wine may not make links: then this part says nothing
  std::filesystem::create_directory_symlink(dir.Sub("app"), dir.Sub("alias"), linkError);
  if (!linkError)
    EXPECT_EQ(Check("app\\renamed?3*2008-5-12\r\n", dir, dir.Sub("alias/renamed"))
                .rows.size(),
            0u);
  // A missing copy is offered whatever the side file says.
  EXPECT_EQ(Check("app\\sub\\" + own + "?3*2008-5-12\r\n", dir).rows.size(), 1u);
}

struct BrokenCase {
  const char* name;
  std::string text;
  friend void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }
};

class BrokenListTest : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenListTest, IsRefusedWholeWithAReason) {
  test::TempDir dir;
  Checked result =
      Check("app\\good.dll?1*2008-5-12\r\n" + GetParam().text + "\r\n", dir);
  EXPECT_FALSE(result.status.ok());
  EXPECT_FALSE(result.status.message().empty());
  EXPECT_TRUE(result.rows.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, BrokenListTest,
    testing::Values(BrokenCase{"noSeparators", "app\\a.dll 1 2008-5-12"},
                    BrokenCase{"sizeNotANumber", "app\\a.dll?big*2008-5-12"},
                    BrokenCase{"sizeTooLarge", "app\\a.dll?2147483648*2008-5-12"},
                    BrokenCase{"dateNotADate", "app\\a.dll?1*2008-13-12"},
                    BrokenCase{"brokenFinalLine", "app\\b.dll?1"}),
    [](const testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST(ListCheck, EveryUnsafeLocationRefusesTheList) {
  test::TempDir dir;
  for (const test::UnsafeLocation& c : test::UnsafeLocations()) {
    Checked result = Check(c.location + "?1*2008-5-12\r\n", dir);
    EXPECT_FALSE(result.status.ok()) << c.name;
    EXPECT_TRUE(result.rows.empty()) << c.name;
  }
}

TEST(Location, PartsAndTargets) {
  const std::string sep(1, platform::PathSeparator());
  LocationParts p = PlanLocation("app\\skin\\main.dll", "/opt/player", "/opt/win");
  EXPECT_EQ(p.rootPrefix, "app");
  EXPECT_EQ(p.rest, "\\skin\\main.dll");
  EXPECT_EQ(p.fileName, "main.dll");
  EXPECT_EQ(p.folderPart, "app\\skin\\");
  EXPECT_TRUE(p.underApplication);
  EXPECT_EQ(p.target, "/opt/player" + sep + "skin" + sep + "main.dll");
  EXPECT_FALSE(p.registers);
  LocationParts w = PlanLocation("WIN\\system32\\c.dll", "/opt/player", "/opt/win");
  EXPECT_FALSE(w.underApplication);
  EXPECT_FALSE(w.registers);  // the root is exactly "win" or nothing registers
  EXPECT_EQ(w.target, "/opt/win" + sep + "system32" + sep + "c.dll");
  EXPECT_TRUE(PlanLocation("win\\system32\\C.OcX", "/opt/player", "/opt/win").registers);
  EXPECT_FALSE(PlanLocation("win\\a.dll.exe", "/opt/player", "/opt/win").registers);
  EXPECT_EQ(PlanLocation("皮肤蓝\\a", "/opt/player", "/opt/win").rootPrefix, "皮肤蓝");
  EXPECT_TRUE(CheckLocationIsSafe("皮肤蓝\\a").ok());
}

}  // namespace
}  // namespace vmrk
