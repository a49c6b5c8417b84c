#include "install/fetch_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sstream>
#include <string>
#include <vector>

namespace vmrk {
namespace {

// The run's part, replayed: a file job that arrives stages its rows; one that
// fails sends each of its rows one step down its chain.
std::string Describe(const std::vector<std::pair<size_t, FetchJob>>& starts) {
  std::ostringstream out;
  for (const auto& [slot, job] : starts) {
    if (out.tellp() > 0) out << ' ';
    out << slot << ':';
    switch (job.kind) {
      case FetchJob::Kind::kPlain: out << "plain" << job.index; break;
      case FetchJob::Kind::kCopy: out << "copy" << job.index; break;
      case FetchJob::Kind::kPackage: out << "stretch" << job.index; break;
      default: out << "other"; break;
    }
    if (job.server != 0) out << '@' << job.server;
  }
  return out.str();
}

std::vector<size_t> RowsOf(const FetchScheduler& s, const FetchJob& job) {
  return job.kind == FetchJob::Kind::kPackage ? s.RowsOfStretch(job.index) : std::vector<size_t>{job.index};
}

struct Event {
  // kServerFails: the job failed at its server; it goes to the next server
  // it has not tried, or, when none is left, its rows down their chains.
  enum What { kArrive, kFail, kServerFails } what;
  size_t slot;
  std::string starts;  // what starts after it
};

struct ScheduleCase {
  const char* name;
  size_t slots;
  size_t rows;           // each row 100 bytes long
  FetchPlan plan;        // copies are 10 bytes each
  bool indexOnSlot1;     // the object index still comes, on slot 1
  std::string first;     // what starts once planned
  std::vector<Event> events;
  bool allStaged;
  size_t servers = 1;
};

RowPlan Row(size_t row, std::vector<Source> chain, size_t frame = 0) {
  return {row, std::move(chain), frame, row};
}

const ScheduleCase kScheduleCases[] = {
    {"SixSlotsTakeTheFirstSixRowsAndEachFreedSlotTheNext", 6, 8,
     {{Row(0, {Source::kPlain}), Row(1, {Source::kPlain}), Row(2, {Source::kPlain}), Row(3, {Source::kPlain}),
       Row(4, {Source::kPlain}), Row(5, {Source::kPlain}), Row(6, {Source::kPlain}), Row(7, {Source::kPlain})},
      {},
      {}},
     false,
     "0:plain0 1:plain1 2:plain2 3:plain3 4:plain4 5:plain5",
     {{Event::kArrive, 2, "2:plain6"}, {Event::kArrive, 0, "0:plain7"}, {Event::kArrive, 1, ""},
      {Event::kArrive, 3, ""}, {Event::kArrive, 4, ""}, {Event::kArrive, 5, ""}, {Event::kArrive, 0, ""},
      {Event::kArrive, 2, ""}},
     true},
    {"OneSlotRunsTheQueueInOrder", 1, 3,
     {{Row(0, {Source::kPlain}), Row(1, {Source::kPlain}), Row(2, {Source::kPlain})}, {}, {}},
     false,
     "0:plain0",
     {{Event::kArrive, 0, "0:plain1"}, {Event::kArrive, 0, "0:plain2"}, {Event::kArrive, 0, ""}},
     true},
    {"TheStretchesGoFirstThenTheRowsWhoseChainBeginsElsewhere", 6, 3,
     {{Row(0, {Source::kPackage, Source::kCopy, Source::kPlain}, 0),
       Row(1, {Source::kPackage, Source::kCopy, Source::kPlain}, 1), Row(2, {Source::kCopy, Source::kPlain})},
      {0},
      {{0, 40, 0, 1}, {100, 40, 1, 2}}},
     false,
     "0:stretch0 1:stretch1 2:copy2",
     {{Event::kArrive, 1, ""}, {Event::kArrive, 2, ""}, {Event::kArrive, 0, ""}},
     true},
    {"AFailedCopyFallsBackToThePlainFileBehindTheRest", 1, 2,
     {{Row(0, {Source::kCopy, Source::kPlain}), Row(1, {Source::kCopy, Source::kPlain})}, {}, {}},
     false,
     "0:copy0",
     {{Event::kFail, 0, "0:copy1"}, {Event::kArrive, 0, "0:plain0"}, {Event::kArrive, 0, ""}},
     true},
    {"AFailedStretchSendsEachOfItsRowsToItsCopyAndNoneTwice", 2, 3,
     {{Row(0, {Source::kPackage, Source::kCopy, Source::kPlain}, 0),
       Row(1, {Source::kPackage, Source::kCopy, Source::kPlain}, 1),
       Row(2, {Source::kPackage, Source::kCopy, Source::kPlain}, 2)},
      {0},
      {{0, 80, 0, 2}, {200, 40, 2, 3}}},
     false,
     "0:stretch0 1:stretch1",
     {{Event::kFail, 0, "0:copy0"}, {Event::kArrive, 1, "1:copy1"}, {Event::kArrive, 0, ""},
      {Event::kArrive, 1, ""}},
     true},
    {"ASlotBusyWithTheIndexIsPassedOverUntilItIsFree", 3, 3,
     {{Row(0, {Source::kPlain}), Row(1, {Source::kPlain}), Row(2, {Source::kPlain})}, {}, {}},
     true,
     "0:plain0 2:plain1",
     {{Event::kArrive, 1, "1:plain2"}, {Event::kArrive, 0, ""}, {Event::kArrive, 2, ""}},
     false},  // the index's arrival stages nothing; plain2 is still on its way
    {"AServerThatFailedIsAskedLastByEveryJobAfterIt", 2, 3,
     {{Row(0, {Source::kPlain}), Row(1, {Source::kPlain}), Row(2, {Source::kPlain})}, {}, {}},
     false,
     "0:plain0 1:plain1",
     {{Event::kServerFails, 0, "0:plain0@1"}, {Event::kArrive, 1, "1:plain2@1"},
      // Failed at 1 too: 2 is the one left that has not failed.
      {Event::kServerFails, 0, "0:plain0@2"}, {Event::kArrive, 1, ""}, {Event::kArrive, 0, ""}},
     true,
     3},
    {"ACopyEveryServerFailedFallsToThePlainFileWhichStartsOverWithTheLongestFailed", 1, 1,
     {{Row(0, {Source::kCopy, Source::kPlain})}, {}, {}},
     false,
     "0:copy0",
     {{Event::kServerFails, 0, "0:copy0@1"}, {Event::kServerFails, 0, "0:plain0"}, {Event::kArrive, 0, ""}},
     true,
     2},
    {"AStretchComesAgainFromTheNextServerWithTheRowsItStillBrings", 2, 2,
     {{Row(0, {Source::kPackage, Source::kCopy, Source::kPlain}, 0),
       Row(1, {Source::kPackage, Source::kCopy, Source::kPlain}, 1)},
      {0},
      {{0, 80, 0, 2}}},
     false,
     "0:stretch0",
     {{Event::kServerFails, 0, "0:stretch0@1"}, {Event::kArrive, 0, ""}},
     true,
     2},
    // A frame cut over three stretches: the first fails, the second is
    // stopped, the third never asked; both slots take the copies at once.
    {"AFailedPartStopsAndDropsTheOtherPartsOfItsCutFrame", 2, 2,
     {{Row(0, {Source::kPackage, Source::kCopy, Source::kPlain}, 0), Row(1, {Source::kCopy, Source::kPlain})},
      {0},
      {{0, 100, 0, 1, 0, false, true}, {100, 100, 0, 1, 0, false, true}, {200, 100, 0, 1, 0, false, false}}},
     false,
     "0:stretch0 1:stretch1",
     {{Event::kFail, 0, "0:copy1 1:copy0"}, {Event::kArrive, 0, ""}, {Event::kArrive, 1, ""}},
     true},
    {"WithOneServerAFailureAtItIsTheFallBackItAlwaysWas", 1, 1,
     {{Row(0, {Source::kItself, Source::kPlain})}, {}, {}},
     false,
     "0:other",
     {{Event::kServerFails, 0, "0:plain0"}, {Event::kArrive, 0, ""}},
     true},
};

class FetchSchedulerTest : public testing::TestWithParam<ScheduleCase> {};

TEST_P(FetchSchedulerTest, StartsWhatTheEventsLeaveNext) {
  const ScheduleCase& c = GetParam();
  FetchScheduler s;
  std::vector<std::string> servers;
  for (size_t i = 0; i < c.servers; ++i) servers.push_back("http://server" + std::to_string(i) + "/");
  s.servers() = ServerOrder(servers);
  s.SetSlots(c.slots);
  s.SetRows(std::vector<std::uint64_t>(c.rows, 100));
  if (c.indexOnSlot1) s.Assign(1, {FetchJob::Kind::kIndex, 0, 1000});
  ObjectIndex objects;
  for (size_t i = 0; i < c.rows; ++i) objects.copies.push_back({"", {0, 10, false, {}, {}}});
  s.Plan(c.plan, &objects);
  EXPECT_EQ(Describe(s.TakeStarts()), c.first);
  for (size_t e = 0; e < c.events.size(); ++e) {
    const Event& event = c.events[e];
    std::optional<FetchJob> job = s.Release(event.slot);
    ASSERT_TRUE(job) << "event " << e << ": slot " << event.slot << " runs nothing";
    if (event.what == Event::kServerFails && s.AnotherServer(*job)) {
      s.Requeue(*job);
      EXPECT_EQ(Describe(s.TakeStarts()), event.starts) << "after event " << e;
      continue;
    }
    // The index brings no row; it only frees its slot. A failed stretch
    // takes the stretches joined to it along, as the run does.
    std::vector<size_t> rows = job->kind == FetchJob::Kind::kIndex ? std::vector<size_t>{} : RowsOf(s, *job);
    if (event.what == Event::kFail && job->kind == FetchJob::Kind::kPackage) {
      const auto [first, last] = StretchChain(s.plan(), job->index);
      for (size_t k = first; k <= last; ++k)
        for (size_t row : s.RowsOfStretch(k))
          if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
      s.DropChain(job->index);
    }
    for (size_t row : rows) {
      if (event.what == Event::kArrive) s.Staged(row);
      else s.FallBack(row);
    }
    EXPECT_EQ(Describe(s.TakeStarts()), event.starts) << "after event " << e;
  }
  EXPECT_EQ(s.AllStaged(), c.allStaged);
}

INSTANTIATE_TEST_SUITE_P(Rules, FetchSchedulerTest, testing::ValuesIn(kScheduleCases),
                         [](const testing::TestParamInfo<ScheduleCase>& info) { return std::string(info.param.name); });

// The strip: what arrived and what is on its way, of all that may still come.
TEST(FetchSchedulerProgressTest, CountsRunningFractionsAndForgetsWhatFailed) {
  FetchScheduler s;
  s.SetSlots(2);
  s.SetRows({100, 300});
  ObjectIndex objects;
  objects.copies = {{"", {0, 100, false, {}, {}}}, {"", {0, 100, false, {}, {}}}};
  s.Plan({{Row(0, {Source::kPlain}), Row(1, {Source::kCopy, Source::kPlain})}, {}, {}}, &objects);
  auto starts = s.TakeStarts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(s.ProgressPerMille(), 0);
  s.Progress(0, 0.5f);                  // 50 of 200
  EXPECT_EQ(s.ProgressPerMille(), 250);
  FetchJob copy = *s.Release(1);         // the copy fails: 100 fewer planned,
  s.Failed(copy);                        // and its plain file, 300, more
  s.FallBack(1);
  EXPECT_EQ(s.ProgressPerMille(), 125);  // 50 of 400
  FetchJob plain = *s.Release(0);
  s.Arrived(plain);
  s.Staged(0);
  s.Staged(0);  // told twice, counted once
  EXPECT_EQ(s.stagedRows(), 1u);
  EXPECT_EQ(s.ProgressPerMille(), 250);  // 100 of 400
  EXPECT_EQ(s.FirstUnstaged(), 1u);
  // Stopped: every transfer is let go of, and a late event finds nothing.
  EXPECT_EQ(Describe(s.TakeStarts()), "0:plain1");
  EXPECT_EQ(s.StopAll(), std::vector<size_t>{0});
  EXPECT_FALSE(s.Release(0));
  EXPECT_TRUE(s.TakeStarts().empty());
}

}  // namespace
}  // namespace vmrk
