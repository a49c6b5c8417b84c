// Starting the player the way Finish does: through the desktop's shell when
// one runs, else directly; either way from the player's own path and in the
// folder asked for, names beyond ASCII included.
#include "app/win32/desktop_shell_launch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/win32/utf16_win.h"
#include "tests/support/event_pump.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

std::filesystem::path BesideThisProgram(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(std::wstring(self, n)).parent_path() / name;
}

TEST(DesktopShellLaunch, ThePlayerStartsFromItsPathInTheFolderAskedFor) {
  test::TempDir app, folder;
  std::filesystem::path player = test::PathOf(app.Sub("播放器 程序.exe"));
  std::filesystem::copy_file(BesideThisProgram(L"fake_player.exe"), player);
  std::wstring where = platform::Widen(folder.Native());
  LaunchRoute route = LaunchAsTheDesktop(player.wstring(), where);
  ASSERT_NE(route, LaunchRoute::kFailed);
  // Wine runs no shell desktop (GetShellWindow is null), so there the direct
  // start is what runs; on Windows with Explorer it is the desktop's.
  if (GetShellWindow() == nullptr) EXPECT_EQ(route, LaunchRoute::kDirect);
  else EXPECT_EQ(route, LaunchRoute::kDesktopShell);
  ASSERT_TRUE(test::PumpUntil([&] { return std::filesystem::exists(test::PathOf(app.Sub("player-started.txt"))); },
                              15000));
  test::PumpFor(200);  // the marker's second line
  std::string marker = app.Read("player-started.txt");
  EXPECT_EQ(marker, "started\r\n" + folder.Native() + "\r\n");
}

TEST(DesktopShellLaunch, AProgramThatIsNotThereIsAFailureAndSaidAtOnce) {
  test::TempDir app;
  ULONGLONG begun = GetTickCount64();
  EXPECT_EQ(LaunchAsTheDesktop(platform::Widen(app.NativeSub("missing.exe")), platform::Widen(app.Native())),
            LaunchRoute::kFailed);
  EXPECT_LT(GetTickCount64() - begun, 2000u);  // Finish must not hang on the way out
}

}  // namespace
}  // namespace vmrk
