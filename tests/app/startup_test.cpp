// The window's load and its small handlers, over real files, a real settings
// file, the real instance lock and the real downloader against a loopback
// server. Only the desktop (another program's window, the shell) is faked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/texts.h"
#include "tests/app/window_fixture.h"

namespace vmrk {
namespace {

class StartupTest : public test::WindowFixture {
 protected:
  StartupTest() { release_.Write("vmrkxupdate/list.txt", PlainTextToRtf("")); }
  std::string MainTimer() { return settings_.Read("tesk", "vmrmovie", "maintimer", "<missing>"); }
};

void ExpectOnlyStepHighlighted(const WindowState& s, size_t step) {
  for (size_t i = 0; i < 3; ++i) {
    if (i == step) {
      EXPECT_TRUE(s.steps[i].border);
      EXPECT_EQ(s.steps[i].background, (Rgb{255, 192, 128}));
      EXPECT_EQ(s.steps[i].text, (Rgb{0, 0, 0}));
    } else {
      EXPECT_FALSE(s.steps[i].border);
      EXPECT_EQ(s.steps[i].background, (Rgb{236, 233, 216}));
      EXPECT_EQ(s.steps[i].text, (Rgb{200, 200, 200}));
    }
  }
}

TEST_F(StartupTest, NormalStartFetchesTheListIntoTheApplicationFolder) {
  WriteAddressFile("seip:" + server_.HostPort() + "\r\n");
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  const WindowState& s = Window().state();
  EXPECT_EQ(s.ServerBase, "http://" + server_.HostPort() + "/");
  EXPECT_EQ(s.AppDir, app_.path() + "/");
  EXPECT_EQ(s.CurFile, 0);
  EXPECT_EQ(s.statusText, texts::kStatusFetchingList);
  EXPECT_FALSE(s.cmdBegin.enabled);
  EXPECT_FALSE(s.cmdCancel.enabled);
  EXPECT_EQ(s.panelBackground, (Rgb{220, 255, 220}));
  ExpectOnlyStepHighlighted(s, 0);
  EXPECT_TRUE(std::filesystem::is_directory(app_.Sub("update")));

  ASSERT_TRUE(test::PumpUntil([&] { return forwarder_.finished + forwarder_.failed > 0; }, 10000));
  EXPECT_EQ(forwarder_.finished, 1);
  EXPECT_EQ(downloader_.SavedFileName(), app_.Sub("list.txt"));
  // The empty list was read and deleted: nothing to update.
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("list.txt")));
  EXPECT_EQ(Window().state().statusText, texts::kStatusUpToDate);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0].path, "/vmrkxupdate/list.txt");
}

TEST_F(StartupTest, MissingAddressFileOffersCloseAndRequestsNothing) {
  app_.Write("update/old.dll", "leftover");
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  const WindowState& s = Window().state();
  EXPECT_EQ(s.statusText, texts::kStatusNoAddressFile);
  EXPECT_EQ(s.statusColor, kRed);
  EXPECT_EQ(s.cmdBegin.caption, texts::kClose);
  EXPECT_TRUE(s.cmdBegin.enabled);
  EXPECT_FALSE(s.cmdCancel.enabled);
  EXPECT_EQ(s.ServerBase, "");
  ExpectOnlyStepHighlighted(s, 0);
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update/old.dll")));
  test::PumpFor(300);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(forwarder_.finished + forwarder_.failed, 0);

  Window().cmdBegin_Click();
  EXPECT_TRUE(Window().state().closeRequested);
}

TEST_F(StartupTest, SecondInstanceWritesOneAndTouchesNothing) {
  auto running = platform::CreateInstanceLock("vmrkxupdate");
  ASSERT_FALSE(running->AnotherInstanceRunning());
  WriteAddressFile("seip:" + server_.HostPort());
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kEndProcess);
  EXPECT_EQ(MainTimer(), "1");
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update")));
  test::PumpFor(300);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(StartupTest, StagingFolderIsEmptiedButItsSubfoldersStay) {
  app_.Write("update/a.dll", "1");
  app_.Write("update/b", "2");
  app_.Write("update/sub/c.dll", "3");
  WriteAddressFile("seip:" + server_.HostPort());
  Window().Form_Load();
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update/a.dll")));
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("update/b")));
  EXPECT_EQ(app_.Read("update/sub/c.dll"), "3");
}

TEST_F(StartupTest, AFileWhereTheStagingFolderBelongsIsLeftAndStartUpGoesOn) {
  app_.Write("update", "not a folder");
  WriteAddressFile("seip:" + server_.HostPort());
  Window().Form_Load();
  EXPECT_EQ(app_.Read("update"), "not a folder");
  EXPECT_EQ(Window().state().statusText, texts::kStatusFetchingList);
}

TEST_F(StartupTest, ApplicationPathWithTrailingSeparatorGetsNoSecondOne) {
  appPath_ = app_.path() + "/";
  WriteAddressFile("seip:" + server_.HostPort());
  Window().Form_Load();
  EXPECT_EQ(Window().state().AppDir, app_.path() + "/");
  EXPECT_EQ(Window().StagingFolder(), app_.path() + "//update");
}

TEST_F(StartupTest, EmptyServerAddressEndsInTheFailureState) {
  WriteAddressFile("seip:     \r\n");
  Window().Form_Load();
  EXPECT_EQ(Window().state().ServerBase, "http:///");
  ASSERT_TRUE(test::PumpUntil([&] { return forwarder_.failed > 0; }, 5000));
  const WindowState& s = Window().state();
  EXPECT_EQ(s.statusText, texts::kStatusFailed);
  EXPECT_EQ(s.statusColor, kRed);
  EXPECT_EQ(s.cmdBegin.caption, texts::kClose);
  EXPECT_TRUE(s.cmdBegin.enabled);
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("list.txt")));
}

TEST_F(StartupTest, AddressInAGbkFile) {
  WriteAddressFile("\xB7\xFE\xCE\xF1\xC6\xF7 seip:" + server_.HostPort() + "\r\n");
  Window().Form_Load();
  EXPECT_EQ(Window().state().ServerBase, "http://" + server_.HostPort() + "/");
}

struct ForegroundCase {
  const char* name;
  friend void PrintTo(const ForegroundCase& c, std::ostream* os) { *os << c.name; }
  platform::WindowHandle window;
  std::string title;
  std::string expectedTitle;
};

class ForegroundTest : public StartupTest, public testing::WithParamInterface<ForegroundCase> {};

TEST_P(ForegroundTest, RemembersTheWindowInFront) {
  desktop_.foreground = GetParam().window;
  desktop_.foregroundTitle = GetParam().title;
  Window().Form_Load();
  EXPECT_EQ(Window().state().ForeWnd, GetParam().window);
  EXPECT_EQ(Window().state().ForeTitle, GetParam().expectedTitle);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ForegroundTest,
    testing::Values(ForegroundCase{"player", 0x2a00007, "Vmr播放器 - 电影.avi", "Vmr播放器 - 电影.avi"},
                    ForegroundCase{"untitled", 77, "", std::string(255, ' ')},
                    ForegroundCase{"none", 0, "", std::string(255, ' ')}),
    [](const testing::TestParamInfo<ForegroundCase>& info) { return std::string(info.param.name); });

TEST_F(StartupTest, ShowStepHighlightsExactlyOneAndRepeatsChangeNothing) {
  for (std::int16_t step : {1, 1, 2, 0}) {
    Window().ShowStep(step);
    ExpectOnlyStepHighlighted(Window().state(), static_cast<size_t>(step));
  }
}

struct TimerCase {
  const char* name;
  friend void PrintTo(const TimerCase& c, std::ostream* os) { *os << c.name; }
  std::string value;  // "<missing>" for no value at all
  bool wakes;
};

class TimerTest : public StartupTest, public testing::WithParamInterface<TimerCase> {};

TEST_P(TimerTest, OnlyAnExactOneWakesTheWindowOnce) {
  Window().Form_Load();
  if (GetParam().value != "<missing>") ASSERT_TRUE(settings_.Write("tesk", "vmrmovie", "maintimer", GetParam().value).ok());
  Window().Timer1_Timer();
  EXPECT_EQ(desktop_.showCalls, GetParam().wakes ? 1 : 0);
  EXPECT_EQ(desktop_.restoreCalls, GetParam().wakes ? 1 : 0);
  EXPECT_EQ(MainTimer(), GetParam().wakes ? "0" : GetParam().value);
  Window().Timer1_Timer();
  EXPECT_EQ(desktop_.showCalls, GetParam().wakes ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Values, TimerTest,
                         testing::Values(TimerCase{"one", "1", true}, TimerCase{"zero", "0", false},
                                         TimerCase{"otherDigit", "2", false}, TimerCase{"empty", "", false},
                                         TimerCase{"oneWithSpace", "1 ", false},
                                         TimerCase{"missing", "<missing>", false}),
                         [](const testing::TestParamInfo<TimerCase>& info) { return std::string(info.param.name); });

struct KeyCase {
  const char* name;
  friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }
  std::int16_t key;
  std::int16_t shift;
  bool reveals;
};

class KeyTest : public StartupTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, OnlyShiftF8RevealsTheGenerator) {
  Window().Form_KeyDown(GetParam().key, GetParam().shift);
  EXPECT_EQ(Window().state().Command2.visible, GetParam().reveals);
  if (GetParam().reveals) {
    Window().Form_KeyDown(GetParam().key, GetParam().shift);
    EXPECT_TRUE(Window().state().Command2.visible);
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest,
                         testing::Values(KeyCase{"shiftF8", 119, 1, true}, KeyCase{"f8", 119, 0, false},
                                         KeyCase{"ctrlShiftF8", 119, 3, false},
                                         KeyCase{"shiftAltF8", 119, 5, false}, KeyCase{"shiftF7", 118, 1, false}),
                         [](const testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(StartupTest, CancelAbortsTheTransferAndCloses) {
  WriteAddressFile("seip:" + server_.HostPort());
  release_.Write("vmrkxupdate/list.txt", std::string(1, 'x'));
  Window().Form_Load();
  Window().cmdCancel_Click();
  EXPECT_TRUE(Window().state().closeRequested);
  test::PumpFor(400);
  EXPECT_EQ(forwarder_.finished + forwarder_.failed, 0);
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("list.txt")));
}

TEST_F(StartupTest, AnInterruptedRunsLeftoversAreGoneAfterTheNextStart) {
  app_.Write(".vmrPlayer.old-41-1", "renamed aside while in use");
  app_.Write("skins/.blue.dat.vmrk-41-2", "half a copy");
  app_.Write(".list.txt.part-41-3", "half a list");
  app_.Write("skins/.blue.dat.bak", "the user's own");
  Window().Form_Load();
  EXPECT_FALSE(std::filesystem::exists(app_.Sub(".vmrPlayer.old-41-1")));
  EXPECT_FALSE(std::filesystem::exists(app_.Sub("skins/.blue.dat.vmrk-41-2")));
  EXPECT_FALSE(std::filesystem::exists(app_.Sub(".list.txt.part-41-3")));
  EXPECT_EQ(app_.Read("skins/.blue.dat.bak"), "the user's own");
}

TEST_F(StartupTest, LinkOpensTheHomePageAndChangesNothingElse) {
  Window().Form_Load();
  WindowState before = Window().state();
  Window().Label1_Click();
  ASSERT_EQ(desktop_.opened.size(), 1u);
  EXPECT_EQ(desktop_.opened[0], "http://www.vmrsoft.com/");
  EXPECT_EQ(Window().state().statusText, before.statusText);
  EXPECT_FALSE(Window().state().closeRequested);
}

TEST_F(StartupTest, FailureCodesOutsideTheKnownOnesAreIgnored) {
  Window().Form_Load();
  for (std::int32_t code : {0, -1, 5, 98, 100}) {
    Window().DL_Failed(code, 0);
    EXPECT_EQ(Window().state().statusText, texts::kStatusNoAddressFile) << code;
  }
  Window().DL_Failed(99, 0);
  EXPECT_EQ(Window().state().statusText, texts::kStatusFailed);
}

}  // namespace
}  // namespace vmrk
