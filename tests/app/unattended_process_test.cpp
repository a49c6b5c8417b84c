// The real updater run without a window (--silent, --check), against nginx:
// every exit status an administrator's script can see, from real runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "install/release_transaction.h"
#include "platform/file_time.h"
#include "platform/ini_settings_store.h"
#include "tests/support/nginx_server.h"
#include "tests/support/process.h"
#include "tests/support/release_writer.h"
#include "tests/support/temp_dir.h"
#include "updatelist/rtf_writer.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

struct UnattendedCase {
  const char* name;
  friend void PrintTo(const UnattendedCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::string> arguments;
  std::vector<test::ReleaseFile> release;
  enum Setup { kNone, kUpToDate, kFolderInTheWay, kUnsafeList, kFileMissingOnServer, kAnotherRunning } setup;
  int status;
  bool installed;       // app/a.txt holds the release's bytes afterwards
  bool playerStarted;
};

class UnattendedProcessTest : public testing::TestWithParam<UnattendedCase> {
 protected:
  UnattendedProcessTest() {
    fs::copy_file(VMRK_UPDATER_EXE, app_.Sub("vmrkxupdate"));
    fs::permissions(app_.Sub("vmrkxupdate"), fs::perms::owner_all);
    std::string player = app_.Write("vmrPlayer", "#!/bin/sh\necho started > \"$(dirname \"$0\")/player-started.txt\"\n");
    chmod(player.c_str(), 0755);
    EXPECT_TRUE(platform::SetFileModifiedTime(player, 2000000000).ok());  // newer than anything listed: never replaced
    // No display at all: a run without a window must not need one.
    env_ = {{"XDG_RUNTIME_DIR", runtime_.path()}, {"XDG_CONFIG_HOME", config_.path()}, {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}, {"WINDIR", windows_.path()}};
  }
  std::string MainTimer() {
    return platform::IniSettingsStore(config_.path()).Read("tesk", "vmrmovie", "maintimer", "<missing>");
  }
  test::TempDir app_, release_, runtime_, config_, windows_;
  test::Environment env_;
};

TEST_P(UnattendedProcessTest, EndsWithItsExitStatus) {
  const UnattendedCase& c = GetParam();
  test::WriteRelease(release_, c.release);
  switch (c.setup) {
    case UnattendedCase::kUpToDate:
      EXPECT_TRUE(platform::SetFileModifiedTime(app_.Write("a.txt", "installed"), 2000000000).ok());
      break;
    case UnattendedCase::kFolderInTheWay:
      fs::create_directories(app_.Sub("b.txt/inside"));  // b.txt cannot be put in place
      break;
    case UnattendedCase::kUnsafeList:
      release_.Write("vmrkxupdate/list.txt", PlainTextToRtf("app\\..\\..\\x.txt?1*2008-5-12 14:30:05\r\n"));
      break;
    case UnattendedCase::kFileMissingOnServer:
      fs::remove(release_.Sub("vmrkxupdate/app/a.txt"));
      break;
    default:
      break;
  }
  test::NginxServer nginx(release_.path());
  app_.Write("myip.txt", "seip:" + nginx.HostPort() + "\r\n");
  std::unique_ptr<test::Process> holder;
  if (c.setup == UnattendedCase::kAnotherRunning) {
    holder = std::make_unique<test::Process>(VMRK_LOCK_HOLDER_EXE, std::vector<std::string>{}, env_, true, true);
    for (int i = 0; i < 200 && fs::is_empty(runtime_.path()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  test::Process updater(app_.Sub("vmrkxupdate"), c.arguments, env_, false, true);
  EXPECT_EQ(updater.WaitExit(30000), c.status);
  EXPECT_EQ(fs::exists(app_.Sub("a.txt")) && app_.Read("a.txt") == "new a", c.installed);
  if (c.playerStarted) {
    for (int i = 0; i < 100 && !fs::exists(app_.Sub("player-started.txt")); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(fs::exists(app_.Sub("player-started.txt")), c.playerStarted);
  // Nobody is asked to come forward, by any run without a window.
  EXPECT_EQ(MainTimer(), "<missing>");
  if (c.arguments.size() == 1 && (c.arguments[0] == "--check" || c.arguments[0] == "/CHECK"))
    EXPECT_FALSE(fs::exists(app_.Sub("update"))) << "a check changed the application folder";
}

const std::vector<test::ReleaseFile> kRelease{{"app\\a.txt", "new a"}, {"app\\b.txt", "new b"}};
const std::vector<test::ReleaseFile> kOneFile{{"app\\a.txt", "new a"}};

INSTANTIATE_TEST_SUITE_P(
    Runs, UnattendedProcessTest,
    testing::Values(
        UnattendedCase{"updated", {"--silent"}, kRelease, UnattendedCase::kNone, 0, true, false},
        UnattendedCase{"windowsSpelling", {"/silent"}, kRelease, UnattendedCase::kNone, 0, true, false},
        UnattendedCase{"updatedAndRestarted", {"--silent", "--restart"}, kRelease, UnattendedCase::kNone, 0, true, true},
        UnattendedCase{"upToDate", {"--silent"}, kOneFile, UnattendedCase::kUpToDate, 0, false, false},
        UnattendedCase{"rolledBack", {"--silent"}, kRelease, UnattendedCase::kFolderInTheWay, 5, false, false},
        UnattendedCase{"nothingToRollBack", {"--rollback"}, kRelease, UnattendedCase::kNone, 2, false, false},
        UnattendedCase{"rollbackWithCheck", {"/rollback", "/check"}, kRelease, UnattendedCase::kNone, 64, false, false},
        UnattendedCase{"listRefused", {"--silent"}, kRelease, UnattendedCase::kUnsafeList, 2, false, false},
        UnattendedCase{"transferFailed", {"--silent"}, kRelease, UnattendedCase::kFileMissingOnServer, 3, false, false},
        UnattendedCase{"anotherUpdaterRuns", {"--silent"}, kRelease, UnattendedCase::kAnotherRunning, 4, false, false},
        UnattendedCase{"checkFindsUpdates", {"--check"}, kRelease, UnattendedCase::kNone, 10, false, false},
        UnattendedCase{"checkFindsNothing", {"/CHECK"}, kOneFile, UnattendedCase::kUpToDate, 0, false, false},
        UnattendedCase{"unknownArgument", {"--frobnicate"}, kRelease, UnattendedCase::kNone, 64, false, false},
        UnattendedCase{"restartWithoutSilent", {"--restart"}, kRelease, UnattendedCase::kNone, 64, false, false}),
    [](const testing::TestParamInfo<UnattendedCase>& info) { return std::string(info.param.name); });

// An update, then /rollback gives back the old files exactly, and a second
// /rollback has nothing left to restore.
TEST_F(UnattendedProcessTest, RollbackRestoresThePreviousReleaseOnce) {
  test::WriteRelease(release_, kRelease);
  std::string a = app_.Write("a.txt", "old a");
  ASSERT_TRUE(platform::SetFileModifiedTime(a, 1000000000).ok());
  test::NginxServer nginx(release_.path());
  app_.Write("myip.txt", "seip:" + nginx.HostPort() + "\r\n");
  auto run = [&](std::vector<std::string> arguments) {
    return test::Process(app_.Sub("vmrkxupdate"), std::move(arguments), env_, false, true).WaitExit(30000);
  };
  ASSERT_EQ(run({"--silent"}), 0);
  EXPECT_EQ(app_.Read("a.txt"), "new a");
  EXPECT_EQ(app_.Read("b.txt"), "new b");
  platform::IniSettingsStore settings(config_.path());
  ASSERT_TRUE(settings.Write("tesk", "vmrmovie", "releaseserial", "20300101000000").ok());
  ASSERT_EQ(run({"--rollback"}), 0);
  EXPECT_EQ(app_.Read("a.txt"), "old a");
  // The accepted release does not move back: the server's is offered again.
  EXPECT_EQ(platform::IniSettingsStore(config_.path()).Read("tesk", "vmrmovie", "releaseserial", ""), "20300101000000");
  Result<std::int64_t> time = platform::FileModifiedTime(a);
  ASSERT_TRUE(time.ok());
  EXPECT_EQ(*time, 1000000000);
  EXPECT_FALSE(fs::exists(app_.Sub("b.txt")));  // added by the update, gone with it
  EXPECT_EQ(run({"/ROLLBACK"}), 2);
  EXPECT_EQ(app_.Read("a.txt"), "old a");
  for (const auto& entry : fs::directory_iterator(app_.path()))
    EXPECT_NE(entry.path().filename().string().rfind(".a.txt.", 0), 0u) << entry.path();  // no copy left behind
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// An installation killed in its commit, then the real updater started the
// way an administrator might (/check, with no server at all): it heals the
// installation from the journal before anything else, and says so.
TEST(NextStartTest, AKilledInstallationIsHealedBeforeAnythingElse) {
  test::TempDir app, windows, runtime, config;
  fs::copy_file(VMRK_UPDATER_EXE, app.Sub("vmrkxupdate"));
  fs::permissions(app.Sub("vmrkxupdate"), fs::perms::owner_all);
  TransactionPaths paths{{app.path(), windows.path(), app.Sub("vmrkxupdate")}, app.Sub("update/journal")};
  std::vector<InstallItem> items;
  for (int i = 0; i < 100; ++i) {
    const std::string name = "p" + std::to_string(i) + ".dll";
    app.Write("plugins/" + name, "old");
    InstallItem item{PlanLocation("app\\plugins\\" + name, app.path(), windows.path()), {}};
    item.staged = app.Write("update/" + std::to_string(i + 1) + "/" + name, "new " + std::to_string(i));
    items.push_back(std::move(item));
  }
  pid_t child = fork();
  if (child == 0) {
    TransactionFailure failure;
    _exit(InstallRelease(platform::HostFileSystem(), paths, items, &failure).ok() ? 0 : 1);
  }
  int status = 0;
  bool killed = false;
  while (!killed && waitpid(child, &status, WNOHANG) == 0) {
    std::ifstream journal(paths.journal);
    std::string text((std::istreambuf_iterator<char>(journal)), std::istreambuf_iterator<char>());
    if (text.find("\ncommit\n") != std::string::npos) killed = kill(child, SIGKILL) == 0;
  }
  waitpid(child, &status, 0);
  // A kill that reached a child which had already finished (and removed its
  // journal) is no kill: only a death by the signal counts.
  killed = killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  test::Environment env{{"XDG_RUNTIME_DIR", runtime.path()}, {"XDG_CONFIG_HOME", config.path()}, {"DISPLAY", ""},
                        {"WINDIR", windows.path()}};
  test::Process updater(app.Sub("vmrkxupdate"), {"--check"}, env, false, true);
  EXPECT_EQ(updater.WaitExit(30000), 2);  // no address file: nothing to check against
  EXPECT_FALSE(fs::exists(paths.journal));
  const bool isNew = app.Read("plugins/p0.dll") != "old";
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(app.Read("plugins/p" + std::to_string(i) + ".dll"), isNew ? "new " + std::to_string(i) : "old") << i;
  const std::string log = app.Read("vmrkxupdate.log");
  if (!killed) GTEST_SKIP() << "the installation ended before it could be killed";
  EXPECT_LT(log.find("an interrupted install "), log.find("end: no address file")) << log;
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// Journals that an earlier recovery left part done, met by the real updater
// (/check, no server). Undone a second time, the old file stays; a step that
// cannot be undone stops the run with exit status 6 before the sweep, with
// the journal and both versions of the file kept, and the next start, once
// the way is clear, finishes the undo.
TEST(NextStartTest, ARecoveryThatCannotFinishKeepsEverythingForTheNextStart) {
  struct Case {
    const char* name;
    bool newInPlace;        // a.dll holds the new bytes and its old copy is aside
    bool placedNameBlocked;  // a folder stands at the placed copy's name
    int status;
    const char* a;          // a.dll afterwards
  } cases[] = {
      {"a recovery killed after removing the placed copy", false, false, 2, "old a"},
      {"an undo step refused", true, true, 6, "new a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir app, windows, runtime, config;
    fs::copy_file(VMRK_UPDATER_EXE, app.Sub("vmrkxupdate"));
    fs::permissions(app.Sub("vmrkxupdate"), fs::perms::owner_all);
    const std::string target = app.Sub("a.dll"), placed = app.Sub(".a.dll.vmrk-1-1"), copy = app.Sub(".a.dll.prev-1-2");
    app.Write("a.dll", c.newInPlace ? "new a" : "old a");
    if (c.newInPlace) app.Write(".a.dll.prev-1-2", "old a");
    if (c.placedNameBlocked) fs::create_directories(placed);
    app.Write("update/journal", "vmrkxupdate-journal 1\tinstall\nplace\t" + placed + "\t" + target + "\ncommit\naside\t" +
                                    target + "\t" + copy + "\nin\t" + placed + "\t" + target + "\t0\n");
    test::Environment env{{"XDG_RUNTIME_DIR", runtime.path()}, {"XDG_CONFIG_HOME", config.path()}, {"DISPLAY", ""},
                          {"WINDIR", windows.path()}};
    test::Process first(app.Sub("vmrkxupdate"), {"--check"}, env, false, true);
    EXPECT_EQ(first.WaitExit(30000), c.status);
    EXPECT_EQ(app.Read("a.dll"), c.a);
    EXPECT_EQ(fs::exists(app.Sub("update/journal")), c.status == 6);
    EXPECT_EQ(fs::exists(copy), c.newInPlace);  // the sweep did not run over the journal's copy
    const std::string log = app.Read("vmrkxupdate.log");
    EXPECT_NE(log.find(c.status == 6 ? "could not be undone" : "was undone"), std::string::npos) << log;
    if (c.status != 6) continue;
    fs::remove(placed);
    test::Process second(app.Sub("vmrkxupdate"), {"--check"}, env, false, true);
    EXPECT_EQ(second.WaitExit(30000), 2);
    EXPECT_EQ(app.Read("a.dll"), "old a");
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(app.Sub("update/journal")));
  }
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// Asked for its usage or its version, the updater prints it and ends with 0,
// changing nothing; the usage names every option it takes.
TEST(CommandLineTest, HelpAndVersionArePrintedAndEndWithZero) {
  struct Case {
    const char* argument;
    const char* printed;
  } cases[] = {{"--help", "usage: vmrkxupdate"}, {"/?", "usage: vmrkxupdate"}, {"-h", "usage: vmrkxupdate"},
               {"--version", "vmrkxupdate " VMRK_TEST_VERSION "\n"}, {"/VERSION", "vmrkxupdate " VMRK_TEST_VERSION "\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    test::TempDir app;
    fs::copy_file(VMRK_UPDATER_EXE, app.Sub("vmrkxupdate"));
    FILE* out = popen(("DISPLAY= '" + app.Sub("vmrkxupdate") + "' '" + c.argument + "'").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string printed;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) printed.append(buffer, n);
    const int status = pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(printed.rfind(c.printed, 0), 0u) << printed;
    if (printed.rfind("usage", 0) == 0)
      for (const char* option : {"/silent", "/restart", "/check", "/rollback", "/?", "--version"})
        EXPECT_NE(printed.find(option), std::string::npos) << option;
    EXPECT_FALSE(fs::exists(app.Sub("vmrkxupdate.log"))) << "a question about the program changed the folder";
  }
}

}  // namespace
}  // namespace vmrk
