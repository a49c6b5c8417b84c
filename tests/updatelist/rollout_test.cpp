#include "updatelist/rollout.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

constexpr std::int64_t kStart = 1800000000;
constexpr std::int64_t kDay = 86400;
constexpr std::uint64_t kQuarter = std::uint64_t{1} << 30;  // of 2^32

TEST(Rollout, ShareAndWhoTakesTheRelease) {
  struct Case {
    const char* name;
    Rollout rollout;
    std::int64_t now;
    std::uint32_t share;  // millionths
    std::uint64_t lastTaker;  // the highest number that takes it; 2^32: none
  } cases[] = {
      {"a fixed quarter", {25}, kStart, 250000, kQuarter - 1},
      {"everyone", {100}, kStart, kWholeShare, 0xffffffffu},
      {"halted", {0}, kStart, 0, std::uint64_t{1} << 32},
      {"before its start", {10, kStart, 10}, kStart - 1, 0, std::uint64_t{1} << 32},
      {"at its start", {10, kStart, 10}, kStart, 100000, 429496729},
      {"half way", {10, kStart, 10}, kStart + 5 * kDay, 550000, 2362232012},
      {"at its end", {10, kStart, 10}, kStart + 10 * kDay, kWholeShare, 0xffffffffu},
      {"years after", {0, kStart, 1}, kStart + 4000 * kDay, kWholeShare, 0xffffffffu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RolloutShare(c.rollout, c.now), c.share) << c.name;
    if (c.lastTaker <= 0xffffffffu) {
      EXPECT_TRUE(TakesRelease(c.rollout, static_cast<std::uint32_t>(c.lastTaker), c.now)) << c.name;
      EXPECT_TRUE(TakesRelease(c.rollout, 0, c.now)) << c.name;
    }
    if (c.lastTaker < 0xffffffffu)
      EXPECT_FALSE(TakesRelease(c.rollout, static_cast<std::uint32_t>(c.lastTaker + 1), c.now)) << c.name;
  }
  // A growing share only ever adds installations.
  const Rollout growing{5, kStart, 7};
  for (std::uint32_t number : {0u, 1u << 20, 1u << 30, 3u << 30, 0xffffffffu}) {
    bool took = false;
    for (std::int64_t t = kStart; t <= kStart + 8 * kDay; t += kDay / 4) {
      const bool takes = TakesRelease(growing, number, t);
      EXPECT_FALSE(took && !takes) << number << " at " << t;
      took = takes;
    }
    EXPECT_TRUE(took) << number;
  }
}

TEST(Rollout, TheRecordAndTheKeptNumberReadBackOrNotAtAll) {
  for (const Rollout& r : {Rollout{25}, Rollout{0}, Rollout{10, kStart, 3650}}) {
    Result<Rollout> read = ParseRolloutFields(RolloutFields(r));
    ASSERT_TRUE(read.ok()) << RolloutFields(r);
    EXPECT_EQ(*read, r);
  }
  for (const char* bad : {"", "-1", "101", "025", "25 ", "10 2027-01-15T08:00:00Z", "10 2027-01-15T08:00:00Z 3651",
                          "10 yesterday 7"})
    EXPECT_FALSE(ParseRolloutFields(bad).ok()) << bad;
  EXPECT_EQ(ParseInstallationNumber("4294967295"), 0xffffffffu);
  EXPECT_EQ(ParseInstallationNumber("0"), 0u);
  for (const char* bad : {"", "4294967296", "-1", "12a", " 1"}) EXPECT_FALSE(ParseInstallationNumber(bad)) << bad;
  EXPECT_EQ(ShareText(250000), "25 %");
  EXPECT_EQ(ShareText(125000), "12.5 %");
}

}  // namespace
}  // namespace vmrk
