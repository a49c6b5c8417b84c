#include "platform/alarm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/event_pump.h"

namespace vmrk {
namespace {

// Through the real event loop: an alarm calls once, on the thread that made
// it, and a destroyed one never does.
TEST(AlarmTest, CallsOnceOnItsOwnThreadAndNeverOnceDestroyed) {
  const std::thread::id mine = std::this_thread::get_id();
  int fired = 0;
  std::thread::id firedOn;
  auto alarm = platform::NewAlarm(20, [&] {
    ++fired;
    firedOn = std::this_thread::get_id();
  });
  int dropped = 0;
  auto destroyed = platform::NewAlarm(20, [&] { ++dropped; });
  destroyed.reset();
  ASSERT_TRUE(test::PumpUntil([&] { return fired > 0; }, 5000));
  EXPECT_EQ(firedOn, mine);
  test::PumpUntil([] { return false; }, 100);  // time for a second call, or the dropped one's
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(dropped, 0);
}

}  // namespace
}  // namespace vmrk
