#include "install/server_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/manifest_round.h"

namespace vmrk {
namespace {

std::vector<size_t> Order(const ServerOrder& o) { return o.order(); }

TEST(ServerOrderTest, FailedServersGoLastInTheOrderTheyFailedAndMirrorsJoinBeforeThem) {
  ServerOrder o({"a", "b", "c", "b"});  // the second "b" is the same server
  ASSERT_EQ(o.size(), 3u);
  EXPECT_EQ(o.Next(0), 0u);
  o.Failed(0);
  EXPECT_EQ(Order(o), (std::vector<size_t>{1, 2, 0}));
  o.Failed(2);
  EXPECT_EQ(Order(o), (std::vector<size_t>{1, 0, 2}));
  o.Add("m");  // a mirror the release names: before every failed one
  EXPECT_EQ(Order(o), (std::vector<size_t>{1, 3, 0, 2}));
  o.Failed(0);  // failing again: behind the one that failed since
  EXPECT_EQ(Order(o), (std::vector<size_t>{1, 3, 2, 0}));
  EXPECT_EQ(o.Next(ServerBit(1) | ServerBit(3)), 2u);
  EXPECT_EQ(o.Next(ServerBit(0) | ServerBit(1) | ServerBit(2) | ServerBit(3)), std::nullopt);
  for (int i = 0; i < 40; ++i) o.Add("x" + std::to_string(i));
  EXPECT_EQ(o.size(), kMaxServers);  // a set of tried servers holds every one
}

struct ChoiceCase {
  const char* name;
  std::vector<ManifestAnswer> answers;
  bool askedPastCaches;
  ReleaseChoice expected;
};

constexpr std::uint64_t kAccepted = 100;
const ManifestAnswer kPending{ManifestAnswer::kPending}, kRefused{ManifestAnswer::kRefused},
    kMissing{ManifestAnswer::kMissing}, kSilent{ManifestAnswer::kSilent};
ManifestAnswer Verified(std::uint64_t serial) { return {ManifestAnswer::kVerified, serial}; }

const ChoiceCase kChoiceCases[] = {
    // One server: what it gives decides, as before there were mirrors.
    {"OneNewer", {Verified(101)}, false, {ReleaseChoice::kUse, 0}},
    {"OneTheSameAgain", {Verified(100)}, false, {ReleaseChoice::kUse, 0}},
    {"OneOlder", {Verified(99)}, false, {ReleaseChoice::kAskPastCaches}},
    {"OneOlderPastTheCaches", {Verified(99)}, true, {ReleaseChoice::kUpToDate}},
    {"OneMissing", {kMissing}, false, {ReleaseChoice::kFixedNames, 0}},
    {"OneMissingPastTheCaches", {kMissing}, true, {ReleaseChoice::kUpToDate}},
    {"OneRefused", {kRefused}, false, {ReleaseChoice::kRefused, 0}},
    {"OneRefusedPastTheCaches", {kRefused}, true, {ReleaseChoice::kRefused, 0}},
    {"OneSilent", {kSilent}, false, {ReleaseChoice::kUnreachable}},
    {"OneSilentPastTheCaches", {kSilent}, true, {ReleaseChoice::kUpToDate}},
    // Several: the newest that verified, whoever is listed first.
    {"ALaggingFirstDoesNotHoldTheNewestBack", {Verified(101), Verified(103), Verified(102)}, false,
     {ReleaseChoice::kUse, 1}},
    {"OfEqualsTheFirstListed", {kSilent, Verified(102), Verified(102)}, false, {ReleaseChoice::kUse, 1}},
    {"AnyStillToComeIsWaitedFor", {Verified(105), kPending}, false, {ReleaseChoice::kWait}},
    {"ATamperedMirrorDoesNotStopTheOthers", {kRefused, Verified(101)}, false, {ReleaseChoice::kUse, 1}},
    {"OlderEverywhereIsAskedPastTheCaches", {Verified(99), kSilent, Verified(98)}, false,
     {ReleaseChoice::kAskPastCaches}},
    {"AnEarlierToolsServerBeforeARefusal", {kRefused, kSilent, kMissing}, false, {ReleaseChoice::kFixedNames, 2}},
    {"RefusedAndSilent", {kSilent, kRefused}, false, {ReleaseChoice::kRefused, 1}},
    {"NoneAnswered", {kSilent, kSilent, kSilent}, false, {ReleaseChoice::kUnreachable}},
};

class ChooseReleaseTest : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseReleaseTest, FollowsTheNewestThatVerified) {
  const ChoiceCase& c = GetParam();
  EXPECT_EQ(ChooseRelease(c.answers, kAccepted, c.askedPastCaches), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Answers, ChooseReleaseTest, testing::ValuesIn(kChoiceCases),
                         [](const testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vmrk
