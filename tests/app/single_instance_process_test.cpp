// Two real processes meeting over the single-instance lock and the settings
// file, as a user's second click on the updater would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/ini_settings_store.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

using Clock = std::chrono::steady_clock;

class Process {
 public:
  Process(const std::string& program, const std::vector<std::pair<std::string, std::string>>& env,
          bool pipeStdin = false) {
    int fds[2] = {-1, -1};
    if (pipeStdin && pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      if (pipeStdin) {
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
      }
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pipeStdin) {
      close(fds[0]);
      stdin_ = fds[1];
    }
  }
  ~Process() {
    if (stdin_ >= 0) close(stdin_);
    if (!exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Exit status, or -1 while still running after timeout.
  int WaitExit(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
};

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
  std::vector<std::pair<std::string, std::string>> env_;
};

TEST_F(SingleInstanceProcessTest, SecondStartWritesOneAndEndsWithoutTouchingAnything) {
  Process holder(VMRK_LOCK_HOLDER_EXE, env_, true);
  // The holder prints once it has the lock; wait for the lock file instead of
  // reading its output.
  for (int i = 0; i < 200 && std::filesystem::is_empty(runtime_.path()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  Process second(app_.Sub("vmrkxupdate"), env_);
  EXPECT_EQ(second.WaitExit(10000), 0);
  EXPECT_EQ(MainTimer(), "1");
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update")));
}

TEST_F(SingleInstanceProcessTest, TwoRacingStartsLeaveExactlyOneWindow) {
  Process first(app_.Sub("vmrkxupdate"), env_);
  Process second(app_.Sub("vmrkxupdate"), env_);
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
