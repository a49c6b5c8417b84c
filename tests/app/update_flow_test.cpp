// A whole update through the window's handlers: the list arrives and is
// checked, Next fetches and installs every row, Finish restarts the player.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <unistd.h>

#include "app/texts.h"
#include "app/unattended_run.h"
#include "install/update_log.h"
#include "tests/app/window_fixture.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

class UpdateFlowTest : public test::WindowFixture {
 protected:
  std::int64_t Stamp(const platform::CivilTime& t) { return *platform::LocalToUnixSeconds(t); }
  void InstallOld(const std::string& relative, const std::string& content) {
    std::string path = app_.Write(relative, content);
    ASSERT_TRUE(platform::SetFileModifiedTime(path, Stamp({2000, 1, 1, 0, 0, 0})).ok());
  }
  bool Requested(const std::string& path) {
    for (const auto& r : server_.Requests())
      if (r.path == path) return true;
    return false;
  }
  void ExpectFailureState() {
    EXPECT_EQ(State().statusText, texts::kStatusFailed);
    EXPECT_EQ(State().statusColor, kRed);
    EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
    EXPECT_TRUE(State().cmdBegin.enabled);
    EXPECT_FALSE(State().cmdCancel.enabled);
  }
};

TEST_F(UpdateFlowTest, WholeUpdateFromNextToFinish) {
  const platform::CivilTime codecTime{2008, 7, 1, 0, 0, 0};
  Publish({
      {"app\\vmrPlayer", "#!/bin/sh\necho new player\n"},
      {"app\\readme.txt", "说明"},
      {"app\\plugins\\skins\\blue.dat", std::string(5000, 'b')},
      {"app\\皮肤\\默认 皮肤.dat", "默认"},
      {"app\\empty.dat", ""},
      {"app\\uptodate.txt", "never fetched"},
      {"win\\system32\\vmrcodec.dll", "MZ codec", codecTime},
      {"app\\vmrkxupdate", "new updater"},
  });
  std::string player = app_.Write("vmrPlayer", "old player");
  chmod(player.c_str(), 0755);
  ASSERT_TRUE(platform::SetFileModifiedTime(player, Stamp({2000, 1, 1, 0, 0, 0})).ok());
  InstallOld("vmrkxupdate", "running updater");
  app_.Write("uptodate.txt", "newer than the list");

  LoadAndCheck();
  ASSERT_EQ(State().rows.size(), 7u);
  EXPECT_EQ(State().statusText, texts::kStatusReady);
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt")));
  for (const FileRow& row : State().rows) EXPECT_NE(row.location, "app\\uptodate.txt");

  RunUpdate();
  const WindowState& s = State();
  EXPECT_EQ(s.cmdBegin.caption, texts::kFinish);
  EXPECT_FALSE(s.cmdCancel.enabled);
  EXPECT_EQ(s.statusText, texts::kStatusCompleted);
  EXPECT_EQ(s.statusColor, kRed);
  EXPECT_EQ(s.CurFile, 7);
  EXPECT_TRUE(s.steps[2].border);
  for (const FileRow& row : s.rows) EXPECT_EQ(row.status, "√") << row.location;

  EXPECT_EQ(app_.Read("vmrPlayer"), "#!/bin/sh\necho new player\n");
  struct stat st;
  ASSERT_EQ(stat(player.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(app_.Read("readme.txt"), "说明");
  EXPECT_EQ(app_.Read("plugins/skins/blue.dat"), std::string(5000, 'b'));
  EXPECT_EQ(app_.Read("皮肤/默认 皮肤.dat"), "默认");
  EXPECT_EQ(app_.Read("empty.dat"), "");
  EXPECT_EQ(app_.Read("uptodate.txt"), "newer than the list");
  EXPECT_EQ(windows_.Read("system32/vmrcodec.dll"), "MZ codec");
  EXPECT_EQ(app_.Read("vmrkxupdate"), "running updater");
  EXPECT_EQ(app_.Read("vmrkxupdate.new"), "new updater");
  // Each file carries the list's time.
  EXPECT_EQ(LocalTimeOf(app_.Sub("readme.txt")), Stamp({2008, 5, 12, 14, 30, 5}));
  EXPECT_EQ(LocalTimeOf(windows_.Sub("system32/vmrcodec.dll")), Stamp(codecTime));
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  EXPECT_FALSE(Requested("/vmrkxupdate/app/uptodate.txt"));
  EXPECT_TRUE(Requested("/vmrkxupdate/app/%E7%9A%AE%E8%82%A4/%E9%BB%98%E8%AE%A4%20%E7%9A%AE%E8%82%A4.dat"));

  Window().cmdBegin_Click();
  ASSERT_EQ(desktop_.opened.size(), 1u);
  EXPECT_EQ(desktop_.opened[0], app_.Sub("vmrPlayer"));
  EXPECT_TRUE(State().closeRequested);
}

TEST_F(UpdateFlowTest, NextShowsTheDownloadingStateAndProgressGoesToTheCurrentRow) {
  Publish({{"app\\big.slow.bin", std::string(60 * 1024, 'x')}, {"app\\b.txt", "b"}});
  LoadAndCheck();
  ASSERT_EQ(State().rows.size(), 2u);
  Window().cmdBegin_Click();
  EXPECT_TRUE(State().steps[1].border);
  EXPECT_FALSE(State().steps[0].border);
  EXPECT_EQ(State().CurFile, 1);
  EXPECT_FALSE(State().cmdBegin.enabled);
  EXPECT_TRUE(State().cmdCancel.enabled);
  EXPECT_EQ(State().statusText, "正在下载更新文件（1/2）……");
  ASSERT_TRUE(test::PumpUntil([&] { return State().rows[0].status.find('%') != std::string::npos; }, 10000));
  EXPECT_EQ(State().rows[1].status, "等待");
  ASSERT_TRUE(test::PumpUntil([&] { return State().CurFile == 2; }, 20000));
  EXPECT_EQ(State().rows[0].status, "√");
  EXPECT_EQ(State().selectedRow, 2);
  EXPECT_EQ(State().statusText, "正在下载更新文件（2/2）……");
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 10000));
  EXPECT_EQ(State().cmdBegin.caption, texts::kFinish);
}

struct CloseRequestCase {
  const char* name;
  platform::WindowHandle window;
  std::string title;
  bool posted;
  friend void PrintTo(const CloseRequestCase& c, std::ostream* os) { *os << c.name; }
};

class CloseRequestTest : public UpdateFlowTest, public testing::WithParamInterface<CloseRequestCase> {};

TEST_P(CloseRequestTest, NextAsksThePlayerToCloseOnlyWhenItWasInFront) {
  desktop_.foreground = GetParam().window;
  desktop_.foregroundTitle = GetParam().title;
  Publish({{"app\\a.txt", "a"}});
  LoadAndCheck();
  Window().cmdBegin_Click();
  if (GetParam().posted) {
    ASSERT_EQ(desktop_.closeRequests.size(), 1u);
    EXPECT_EQ(desktop_.closeRequests[0], GetParam().window);
  } else {
    EXPECT_TRUE(desktop_.closeRequests.empty());
  }
  EXPECT_EQ(State().CurFile, 1);  // the download starts at once either way
}

INSTANTIATE_TEST_SUITE_P(Windows, CloseRequestTest,
                         testing::Values(CloseRequestCase{"player", 5, "Vmr播放器 - 电影.avi", true},
                                         CloseRequestCase{"otherCase", 6, "vmr播放器", true},
                                         CloseRequestCase{"other", 7, "Terminal", false},
                                         CloseRequestCase{"none", 0, "", false}),
                         [](const testing::TestParamInfo<CloseRequestCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(UpdateFlowTest, NothingToUpdateOffersClose) {
  Publish({{"app\\a.txt", "a"}});
  app_.Write("a.txt", "installed later than the list");
  LoadAndCheck();
  EXPECT_TRUE(State().rows.empty());
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_TRUE(State().cmdBegin.enabled);
  EXPECT_EQ(State().statusText, texts::kStatusUpToDate);
  EXPECT_EQ(State().statusColor, kRed);
  Window().cmdBegin_Click();
  EXPECT_TRUE(State().closeRequested);
}

TEST_F(UpdateFlowTest, AListThatClimbsOutOfItsFolderIsRefused) {
  release_.Write("vmrkxupdate/list.txt",
                 PlainTextToRtf("app\\a.txt?1*2008-5-12\r\napp\\..\\..\\evil?1*2008-5-12\r\n"));
  LoadAndCheck();
  EXPECT_TRUE(State().rows.empty());
  EXPECT_EQ(State().statusText, texts::kStatusListBroken);
  EXPECT_EQ(State().statusColor, kRed);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_TRUE(State().cmdBegin.enabled);
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt")));
}

TEST_F(UpdateFlowTest, AListThatCannotBeLoadedIsNotUpToDate) {
  Window().Form_Load();
  Window().DL_Finished(1);  // the downloader names no file
  EXPECT_EQ(State().statusText, texts::kStatusListBroken);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
}

TEST_F(UpdateFlowTest, APlaylistFileIsInstalledLikeAnyOther) {
  Publish({{"app\\playlist.txt", "1.avi\r\n"}, {"app\\z.txt", "z"}});
  LoadAndCheck();
  ASSERT_EQ(State().rows.size(), 2u);
  RunUpdate();
  EXPECT_EQ(State().cmdBegin.caption, texts::kFinish);
  EXPECT_EQ(app_.Read("playlist.txt"), "1.avi\r\n");
  EXPECT_EQ(app_.Read("z.txt"), "z");
  EXPECT_EQ(State().rows.size(), 2u);
}

TEST_F(UpdateFlowTest, NotFoundInTheMiddleInstallsNothing) {
  Publish({{"app\\1.txt", "one"}, {"app\\2.txt", "two"}, {"app\\3.txt", "three"}});
  fs::remove(release_.Sub("vmrkxupdate/app/2.txt"));
  app_.Write("3.txt", "");  // empty, so offered; must stay as it is
  LoadAndCheck();
  RunUpdate();
  ExpectFailureState();
  EXPECT_FALSE(fs::exists(app_.Sub("1.txt")));  // staged, never installed
  EXPECT_FALSE(fs::exists(app_.Sub("2.txt")));
  EXPECT_EQ(app_.Read("3.txt"), "");
  EXPECT_EQ(State().rows[0].status, "√");
  EXPECT_NE(State().rows[1].status, "√");
  EXPECT_EQ(State().rows[2].status, "等待");
  EXPECT_FALSE(Requested("/vmrkxupdate/app/3.txt"));
  Window().cmdBegin_Click();
  EXPECT_TRUE(State().closeRequested);
}

TEST_F(UpdateFlowTest, AFileOfTheWrongLengthIsAFailedTransfer) {
  Publish({{"app\\a.dll", "12345", {2008, 5, 12, 14, 30, 5}, "10"}});
  app_.Write("a.dll", "");
  LoadAndCheck();
  RunUpdate();
  ExpectFailureState();
  EXPECT_EQ(app_.Read("a.dll"), "");
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
}

TEST_F(UpdateFlowTest, ACutConnectionLeavesTheInstalledFile) {
  Publish({{"app\\a.cut.dll", std::string(4000, 'n')}});
  app_.Write("a.cut.dll", "");
  LoadAndCheck();
  std::vector<std::string> shown;
  forwarder_.afterRetrying = [&] { shown.push_back(State().rows[0].status); };
  RunUpdate();
  ExpectFailureState();
  EXPECT_EQ(app_.Read("a.cut.dll"), "");
  // Cut at the same byte each time: three retries, each shown in the row,
  // which then keeps what had come.
  EXPECT_EQ(shown, (std::vector<std::string>{"重试 1/3", "重试 2/3", "重试 3/3"}));
  EXPECT_EQ(State().rows[0].status, "50%");
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
}

TEST_F(UpdateFlowTest, AFileThatCannotBeInstalledRollsTheWholeReleaseBack) {
  Publish({{"app\\b.txt", "b"}, {"app\\adir", "a file"}});
  InstallOld("b.txt", "old b");
  fs::create_directories(app_.Sub("adir/inner"));  // a folder where the file belongs
  LoadAndCheck();
  ASSERT_EQ(State().rows.size(), 2u);
  RunUpdate();
  EXPECT_EQ(State().rows[0].status, "√");
  EXPECT_EQ(State().rows[1].status, "×");
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_EQ(State().statusText, texts::kStatusRolledBack);
  EXPECT_EQ(State().statusColor, kRed);
  EXPECT_EQ(app_.Read("b.txt"), "old b");
  EXPECT_TRUE(fs::is_directory(app_.Sub("adir/inner")));
}

TEST_F(UpdateFlowTest, CancelDuringATransferInstallsNothingMore) {
  Publish({{"app\\big.slow.bin", std::string(200 * 1024, 'x')}});
  LoadAndCheck();
  Window().cmdBegin_Click();
  ASSERT_TRUE(test::PumpUntil([&] { return State().rows[0].status.find('%') != std::string::npos; }, 10000));
  Window().cmdCancel_Click();
  EXPECT_TRUE(State().closeRequested);
  test::PumpFor(300);
  EXPECT_FALSE(fs::exists(app_.Sub("big.slow.bin")));
  EXPECT_FALSE(fs::exists(app_.Sub("update/big.slow.bin")));
}

TEST_F(UpdateFlowTest, EventsThatChangeNothing) {
  Publish({{"app\\a.txt", "a"}});
  PointAtServer();
  Window().Form_Load();
  WindowState before = State();
  Window().DL_Finished(0);
  Window().DL_Finished(-3);
  Window().DL_Progress(0.5f, 0, 0);  // while the list is fetched
  EXPECT_EQ(State().statusText, before.statusText);
  EXPECT_EQ(State().rows.size(), before.rows.size());
  EXPECT_EQ(State().cmdBegin.enabled, before.cmdBegin.enabled);
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// Under AddressSanitizer resident memory is mostly its shadow and
// quarantine, not the updater's.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif

// Resident memory of this process, in KiB.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

class HostileServerTest : public UpdateFlowTest {};

TEST_F(HostileServerTest, EndlessBodiesEndAtTheirBoundWithLittleMemory) {
  // The list: its bytes, then zeros for ever.
  Publish({{"app\\a.dll", "a"}});
  release_.Write("vmrkxupdate/list.txt.endless", "");
  PointAtServer();
  long before = ResidentKiB();
  auto begun = std::chrono::steady_clock::now();
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return forwarder_.failed > 0; }, 20000));
  double listSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  ExpectFailureState();
  ASSERT_FALSE(server_.Requests().empty());
  EXPECT_EQ(server_.Requests().back().path, "/vmrkxupdate/list.txt");
  if (kMeasuresMemory) EXPECT_LT(ResidentKiB() - before, 32 * 1024);
  EXPECT_LT(listSeconds, 10.0);  // 64 MiB at loopback speed, then the stop
  for (const auto& entry : fs::directory_iterator(app_.path()))
    EXPECT_TRUE(entry.is_directory() || entry.path().filename() == "myip.txt" ||
                entry.path().filename() == kUpdateLogFile)
        << entry.path() << " left behind";
}

TEST_F(HostileServerTest, AnEndlessFileStopsAtItsListedSize) {
  Publish({{"app\\a.endless.dll", std::string(1000, 'a')}});
  LoadAndCheck();
  auto begun = std::chrono::steady_clock::now();
  RunUpdate();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
  ExpectFailureState();
  EXPECT_FALSE(fs::exists(app_.Sub("a.endless.dll")));
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
}

TEST_F(HostileServerTest, AStagingFolderThatCannotBeWrittenIsNotBlamedOnTheNetwork) {
  Publish({{"app\\a.dll", "a"}});
  app_.Write("update", "a file where the staging folder belongs");
  LoadAndCheck();
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusCannotWrite);
  EXPECT_EQ(State().statusColor, kRed);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_FALSE(fs::exists(app_.Sub("a.dll")));
}

TEST_F(HostileServerTest, AListCutShortOffersNothing) {
  Publish({{"app\\a.dll", "a"}, {"app\\b.dll", "b"}, {"app\\c.dll", "c"}});
  std::string rtf = release_.Read("vmrkxupdate/list.txt");
  release_.Write("vmrkxupdate/list.txt", rtf.substr(0, rtf.rfind("app\\\\c.dll")));
  LoadAndCheck();
  EXPECT_EQ(State().statusText, texts::kStatusListBroken);
  EXPECT_TRUE(State().rows.empty());
}

// Kept from the design's intent, not its letter: a list that cannot be
// deleted after it arrived is still read, not shown as "up to date".
TEST_F(UpdateFlowTest, AListThatCannotBeDeletedIsStillRead) {
  Publish({{"app\\a.dll", "a"}});
  const std::string list = app_.Sub("list.txt");
  bool pinned = false;
  forwarder_.beforeFinished = [&] { pinned = std::system(("chattr +i '" + list + "' 2>/dev/null").c_str()) == 0; };
  LoadAndCheck();
  if (pinned) std::system(("chattr -i '" + list + "'").c_str());
  if (!pinned) GTEST_SKIP() << "this file system cannot pin a file (chattr +i)";
  EXPECT_TRUE(fs::exists(list));
  EXPECT_EQ(State().rows.size(), 1u);
  EXPECT_EQ(State().statusText, texts::kStatusReady);
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

namespace fs = std::filesystem;

// Every file below the application and the Windows folder but the staging
// folder, the log and the address file: its bytes and time.
std::map<std::string, std::pair<std::string, std::int64_t>> TreeOf(const std::vector<std::string>& roots) {
  std::map<std::string, std::pair<std::string, std::int64_t>> tree;
  for (const std::string& root : roots)
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = it->path().filename().string();
      if (name == "update" || name == kUpdateLogFile || name == "myip.txt") {  // the run's own, and the test's
        it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file()) continue;
      Result<std::int64_t> time = platform::FileModifiedTime(it->path().string());
      EXPECT_TRUE(time.ok());
      tree[it->path().string()] = {test::ReadFileBytes(it->path().string()), time.ok() ? *time : 0};
    }
  return tree;
}

class WholeReleaseTest : public UpdateFlowTest {
 protected:
  // An installed release of five components and a new one of five.
  void Prepare() {
    std::vector<test::ReleaseFile> files;
    for (int i = 1; i <= 5; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dll";
      files.push_back({"app\\plugins\\" + name, "new " + name});
      InstallOld("plugins/" + name, "old " + name);
    }
    Publish(files);
  }
  std::vector<std::string> Roots() { return {app_.path(), windows_.path()}; }
};

// A release whose fetch fails at any row, or that is cancelled, changes
// nothing installed: the tree is byte and time for time the one before,
// with the failure's own text and exit status.
TEST_F(WholeReleaseTest, AFailureWhileFetchingChangesNothingInstalled) {
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* text;
    UpdateRun::Outcome outcome;
    int exitStatus;
  } cases[] = {
      {"firstRowNotFound", [this] { fs::remove(release_.Sub("vmrkxupdate/app/plugins/f1.dll")); },
       texts::kStatusFailed, UpdateRun::Outcome::kTransferFailed, kExitTransferFailed},
      {"middleRowNotFound", [this] { fs::remove(release_.Sub("vmrkxupdate/app/plugins/f3.dll")); },
       texts::kStatusFailed, UpdateRun::Outcome::kTransferFailed, kExitTransferFailed},
      {"lastRowNotFound", [this] { fs::remove(release_.Sub("vmrkxupdate/app/plugins/f5.dll")); },
       texts::kStatusFailed, UpdateRun::Outcome::kTransferFailed, kExitTransferFailed},
      {"lastRowShort", [this] { release_.Write("vmrkxupdate/app/plugins/f5.dll", "new"); },
       texts::kStatusFailed, UpdateRun::Outcome::kTransferFailed, kExitTransferFailed},
      {"lastRowCannotBePlaced",
       [this] {
         fs::remove(app_.Sub("plugins/f5.dll"));
         fs::create_directories(app_.Sub("plugins/f5.dll/x"));  // a folder where the file belongs
       },
       texts::kStatusRolledBack, UpdateRun::Outcome::kRolledBack, kExitRolledBack},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(app_.Sub("plugins"));
    window_.reset();
    forwarder_.finished = forwarder_.failed = 0;
    Prepare();
    c.fault();
    const auto before = TreeOf(Roots());
    LoadAndCheck();
    ASSERT_EQ(State().rows.size(), 5u);
    RunUpdate();
    EXPECT_EQ(TreeOf(Roots()), before);
    EXPECT_EQ(State().statusText, c.text);
    EXPECT_EQ(Window().run().outcome(), c.outcome);
    EXPECT_EQ(UnattendedRun::StatusOf(Window().run().phase(), Window().run().outcome(), false), c.exitStatus);
    EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  }
}

TEST_F(WholeReleaseTest, CancelWhileFetchingChangesNothingInstalled) {
  Prepare();
  test::ReleaseFile slow{"app\\plugins\\f9.slow.dll", std::string(300 * 1024, 's')};
  std::vector<test::ReleaseFile> files;
  for (int i = 1; i <= 5; ++i) files.push_back({"app\\plugins\\f" + std::to_string(i) + ".dll", "new"});
  files.push_back(slow);
  Publish(files);
  const auto before = TreeOf(Roots());
  LoadAndCheck();
  Window().cmdBegin_Click();
  ASSERT_TRUE(test::PumpUntil([&] { return State().rows[5].status.find('%') != std::string::npos; }, 20000));
  Window().cmdCancel_Click();
  EXPECT_TRUE(State().closeRequested);
  EXPECT_EQ(Window().run().outcome(), UpdateRun::Outcome::kCancelled);
  EXPECT_EQ(TreeOf(Roots()), before);
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
}

// Files of one name in different folders are staged apart and each lands
// whole; the window says it is installing before the release goes in.
TEST_F(WholeReleaseTest, SameNamesInOtherFoldersAndTheInstallingText) {
  Publish({{"app\\skins\\blue\\skin.dat", "blue"}, {"app\\skins\\red\\skin.dat", "red, longer"},
           {"win\\system32\\skin.dat", "system"}});
  std::vector<std::string> shown;
  Window().SetChangeListener([&] { shown.push_back(State().statusText); });
  LoadAndCheck();
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted);
  EXPECT_EQ(app_.Read("skins/blue/skin.dat"), "blue");
  EXPECT_EQ(app_.Read("skins/red/skin.dat"), "red, longer");
  EXPECT_EQ(windows_.Read("system32/skin.dat"), "system");
  EXPECT_NE(std::find(shown.begin(), shown.end(), texts::kStatusInstalling), shown.end());
}

// Too little room for the release: nothing is fetched, nothing changes.
TEST_F(WholeReleaseTest, TooLittleRoomFetchesNothing) {
  if (getuid() != 0) GTEST_SKIP() << "a small tmpfs needs root";
  test::TempDir small;
  if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + small.path() + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "no tmpfs here";
  struct Unmount {
    std::string at;
    ~Unmount() { (void)!std::system(("umount '" + at + "'").c_str()); }
  } unmount{small.path()};
  appPath_ = small.path();
  app_.Write("unused", "");  // the fixture's folder stays; the updater's is the small one
  std::ofstream(small.path() + "/myip.txt") << "seip:" << server_.HostPort() << "\r\n";
  Publish({{"app\\big.dat", std::string(400 * 1024, 'b')}});
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return forwarder_.finished + forwarder_.failed > 0; }, 10000));
  ASSERT_EQ(State().rows.size(), 1u);
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusNoRoom);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_FALSE(Requested("/vmrkxupdate/app/big.dat"));
  EXPECT_FALSE(fs::exists(small.path() + "/big.dat"));
  EXPECT_EQ(UnattendedRun::StatusOf(Window().run().phase(), Window().run().outcome(), false), kExitTransferFailed);
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// A journal whose undo cannot be done (a folder stands at the placed copy's
// name) stops the window at start-up: its own text, not the one that says the
// old version is back; no list is asked for; the journal and the copy stay.
TEST_F(UpdateFlowTest, AnInstallationThatCannotBeRepairedSaysSoAndAsksNothing) {
  Publish({{"app\\a.dll", "newer a"}});
  PointAtServer();
  const std::string target = app_.Sub("a.dll"), placed = app_.Sub(".a.dll.vmrk-1-1"), copy = app_.Sub(".a.dll.prev-1-2");
  app_.Write("a.dll", "new a");
  app_.Write(".a.dll.prev-1-2", "old a");
  fs::create_directories(placed);
  app_.Write("update/journal", "vmrkxupdate-journal 1\tinstall\nplace\t" + placed + "\t" + target + "\ncommit\naside\t" +
                                   target + "\t" + copy + "\nin\t" + placed + "\t" + target + "\t0\n");
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  EXPECT_EQ(State().statusText, texts::kStatusNotRepaired);
  EXPECT_EQ(State().statusColor, kRed);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_EQ(Window().run().outcome(), UpdateRun::Outcome::kRepairFailed);
  EXPECT_EQ(UnattendedRun::StatusOf(Window().run().phase(), Window().run().outcome(), false), kExitNotRepaired);
  EXPECT_FALSE(test::PumpUntil([&] { return forwarder_.finished + forwarder_.failed > 0; }, 300));
  EXPECT_EQ(app_.Read(".a.dll.prev-1-2"), "old a");
  EXPECT_TRUE(fs::exists(app_.Sub("update/journal")));
}

}  // namespace
}  // namespace vmrk
