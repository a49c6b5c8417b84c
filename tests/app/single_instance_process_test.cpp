// Two real processes meeting over the single-instance lock and the settings
// file, as a user's second click on the updater would.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/ini_settings_store.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

using Clock = std::chrono::steady_clock;
using test::Process;

class SingleInstanceProcessTest : public testing::Test {
 protected:
  SingleInstanceProcessTest() {
    std::filesystem::copy_file(VMRK_UPDATER_EXE, app_.Sub("vmrkxupdate"));
    std::filesystem::permissions(app_.Sub("vmrkxupdate"), std::filesystem::perms::owner_all);
    env_ = {{"XDG_RUNTIME_DIR", runtime_.path()},
            {"XDG_CONFIG_HOME", config_.path()},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"DISPLAY", ""}};
  }
  std::string MainTimer() {
    return platform::IniSettingsStore(config_.path()).Read("tesk", "vmrmovie", "maintimer", "<missing>");
  }

  test::TempDir app_, runtime_, config_;
  test::Environment env_;
};

TEST_F(SingleInstanceProcessTest, SecondStartWritesOneAndEndsWithoutTouchingAnything) {
  Process holder(VMRK_LOCK_HOLDER_EXE, {}, env_, true);
  // The holder prints once it has the lock; wait for the lock file instead of
  // reading its output.
  for (int i = 0; i < 200 && std::filesystem::is_empty(runtime_.path()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  Process second(app_.Sub("vmrkxupdate"), {}, env_);
  EXPECT_EQ(second.WaitExit(10000), 0);
  EXPECT_EQ(MainTimer(), "1");
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update")));
}

TEST_F(SingleInstanceProcessTest, TwoRacingStartsLeaveExactlyOneWindow) {
  Process first(app_.Sub("vmrkxupdate"), {}, env_);
  Process second(app_.Sub("vmrkxupdate"), {}, env_);
  int a = first.WaitExit(3000);
  int b = second.WaitExit(a == -1 ? 3000 : 1000);
  // One ended by itself with status 0; the other still shows its window.
  EXPECT_TRUE((a == 0 && b == -1) || (a == -1 && b == 0)) << a << " " << b;
  EXPECT_TRUE(std::filesystem::is_directory(app_.Sub("update")));
  // The survivor consumed the wake-up within a few ticks.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (MainTimer() != "0" && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(MainTimer(), "0");
}

}  // namespace
}  // namespace vmrk
