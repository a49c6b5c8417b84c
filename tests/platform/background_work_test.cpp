// The worker that takes hashing, decoding and installing off the event
// thread, over the platform's own event loop (Qt's on Linux, the Win32
// message loop on Windows): the same suite for both. Under ThreadSanitizer
// it also says that what the worker hands back is ordered by a lock.
#include "platform/background_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/event_pump.h"

namespace vmrk {
namespace {

using std::chrono::milliseconds;

std::unique_ptr<platform::BackgroundWork> Worker() {
  return platform::NewWorkerThread();
}

TEST(BackgroundWorkTest, WorkRunsOffTheEventThreadAndEachDoneComesBackOnItInOrder) {
  auto worker = Worker();
  const std::thread::id eventThread = std::this_thread::get_id();
  std::vector<int> done;
  std::atomic<int> onEventThread{0};
  for (int i = 0; i < 20; ++i) {
    worker->Run(
        [&, i] {
          if (std::this_thread::get_id() == eventThread) ++onEventThread;
          if (i == 0) std::this_thread::sleep_for(milliseconds(50));  // the later ones wait their turn
        },
        [&, i] {
          EXPECT_EQ(std::this_thread::get_id(), eventThread);
          done.push_back(i);
        });
  }
  EXPECT_TRUE(done.empty()) << "a done ran before the event loop did";
  ASSERT_TRUE(test::PumpUntil([&] { return done.size() == 20; }, 5000));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(done[i], i);
  EXPECT_EQ(onEventThread.load(), 0);
}

// A cancel: what runs finishes (it may be writing a file), what waits never
// begins, and nothing asked before comes back.
TEST(BackgroundWorkTest, StopWaitsForTheRunningPieceAndDropsEverythingElse) {
  auto worker = Worker();
  std::atomic<bool> started{false}, finished{false};
  std::atomic<int> laterWork{0};
  int dones = 0;
  worker->Run(
      [&] {
        started = true;
        std::this_thread::sleep_for(milliseconds(100));
        finished = true;
      },
      [&] { ++dones; });
  for (int i = 0; i < 5; ++i) worker->Run([&] { ++laterWork; }, [&] { ++dones; });
  while (!started) std::this_thread::sleep_for(milliseconds(1));
  worker->Stop();
  EXPECT_TRUE(finished.load()) << "Stop returned while a piece was still running";
  test::PumpFor(200);
  EXPECT_EQ(laterWork.load(), 0);
  EXPECT_EQ(dones, 0);
  // And it goes on working after.
  worker->Run([] {}, [&] { ++dones; });
  EXPECT_TRUE(test::PumpUntil([&] { return dones == 1; }, 5000));
}

TEST(BackgroundWorkTest, NoDoneRunsOnceTheWorkerIsGone) {
  auto worker = Worker();
  std::atomic<bool> ran{false};
  bool done = false;
  worker->Run([&] { ran = true; }, [&] { done = true; });
  while (!ran) std::this_thread::sleep_for(milliseconds(1));
  worker.reset();  // its done is posted, or about to be
  test::PumpFor(200);
  EXPECT_FALSE(done);
}

TEST(BackgroundWorkTest, InlineWorkRunsBothAtOnce) {
  auto inline_ = platform::NewInlineWork();
  std::vector<int> order;
  inline_->Run([&] { order.push_back(1); }, [&] { order.push_back(2); });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace vmrk
