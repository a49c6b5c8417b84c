#include "install/file_time_stamp.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

// Runs a test body in a time zone, restoring the old one afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::int64_t Utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<std::int64_t>(timegm(&tm));
}

struct StampCase {
  const char* name;
  const char* zone;
  std::string dateText;
  std::int64_t expectedUtc;
  friend void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }
};

class StampFileTimeTest : public testing::TestWithParam<StampCase> {};

TEST_P(StampFileTimeTest, LastWriteTimeReadsTheListTextInLocalTime) {
  ZoneScope zone(GetParam().zone);
  test::TempDir dir;
  std::string file = dir.Write("a.dll", "x");
  ASSERT_TRUE(StampFileTime(file, GetParam().dateText).ok());
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, GetParam().expectedUtc);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, StampFileTimeTest,
    testing::Values(
        StampCase{"shanghai", "Asia/Shanghai", "2008-5-12 14:30:05", Utc(2008, 5, 12, 6, 30, 5)},
        StampCase{"shanghaiMidnight", "Asia/Shanghai", "2008-5-12", Utc(2008, 5, 11, 16, 0, 0)},
        StampCase{"berlinSummerUsesSummerTime", "Europe/Berlin", "2008-07-01 12:00:00", Utc(2008, 7, 1, 10, 0, 0)},
        StampCase{"berlinWinter", "Europe/Berlin", "2008-01-15 12:00:00", Utc(2008, 1, 15, 11, 0, 0)},
        StampCase{"utcSlashForm", "UTC", "2008/5/12 下午 2:30:05", Utc(2008, 5, 12, 14, 30, 5)}),
    [](const testing::TestParamInfo<StampCase>& info) { return std::string(info.param.name); });

TEST(StampFileTime, ShownInLocalTimeItReadsTheTextAgain) {
  ZoneScope zone("Europe/Berlin");
  test::TempDir dir;
  std::string file = dir.Write("b.dll", "x");
  ASSERT_TRUE(StampFileTime(file, "2008-07-01 12:34:56").ok());
  Result<std::int64_t> seconds = platform::FileModifiedTime(file);
  ASSERT_TRUE(seconds.ok());
  EXPECT_EQ(platform::UnixSecondsToLocal(*seconds), (platform::CivilTime{2008, 7, 1, 12, 34, 56}));
}

TEST(StampFileTime, AccessTimeIsNotTouched) {
  test::TempDir dir;
  std::string file = dir.Write("c.dll", "x");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_TRUE(StampFileTime(file, "2008-05-12 14:30:05").ok());
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_NE(st.st_mtim.tv_sec, 1000000000);
}

TEST(StampFileTime, ATextThatIsNoDateChangesNothingAndFails) {
  test::TempDir dir;
  std::string file = dir.Write("d.dll", "x");
  struct stat before, after;
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_FALSE(StampFileTime(file, "2008-2-30 10:00").ok());
  EXPECT_FALSE(StampFileTime(file, "yesterday").ok());
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_FALSE(StampFileTime(dir.Sub("missing.dll"), "2008-5-12").ok());
}

TEST(StampFileTime, LongPathsAreFine) {
  test::TempDir dir;
  std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e') + "/f.dll";
  std::string file = dir.Write(deep, "x");
  ASSERT_GT(file.size(), 128u);
  EXPECT_TRUE(StampFileTime(file, "2008-5-12 1:02:03").ok());
}

}  // namespace
}  // namespace vmrk
