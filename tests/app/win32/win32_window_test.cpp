// The Win32 window itself, created hidden in this process under Wine.
#include "app/win32/win32_window.h"

#include <gtest/gtest.h>

#include <string>

#include "app/texts.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "platform/win32/utf16_win.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

HWND ChildWithText(HWND parent, const std::wstring& text) {
  struct Search {
    std::wstring text;
    HWND found = nullptr;
  } search{text};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        wchar_t buffer[256] = L"";
        GetWindowTextW(child, buffer, 256);
        if (s->text == buffer) {
          s->found = child;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST(Win32Window, OnlyTheLinkShowsTheHandPointer) {
  test::TempDir app;  // no myip.txt: the window shows its no-address state and fetches nothing
  test::FakeDesktop desktop;
  auto settings = platform::OpenUserSettings();
  auto lock = platform::CreateInstanceLock("vmrkxupdate-window-test");
  WinHttpDownloader downloader;
  UpdaterWindow window({desktop, *settings, *lock, downloader, app.Native(), app.NativeSub("vmrkxupdate.exe"), "x\\"});
  ASSERT_EQ(window.Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  Win32Window frame(window, downloader);
  ASSERT_TRUE(frame.Create(GetModuleHandleW(nullptr), SW_HIDE));
  HWND link = ChildWithText(frame.handle(), platform::Widen(texts::kHomePage));
  HWND status = ChildWithText(frame.handle(), platform::Widen(texts::kStatusNoAddressFile));
  ASSERT_NE(link, nullptr);
  ASSERT_NE(status, nullptr);
  const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND), arrow = LoadCursorW(nullptr, IDC_ARROW);
  // The static class keeps its arrow: every other label shows it.
  EXPECT_NE(reinterpret_cast<HCURSOR>(GetClassLongPtrW(status, GCLP_HCURSOR)), hand);
  SetCursor(arrow);
  EXPECT_TRUE(SendMessageW(frame.handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(link), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
  EXPECT_EQ(GetCursor(), hand);
  SetCursor(arrow);
  EXPECT_FALSE(SendMessageW(frame.handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(status), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
  EXPECT_NE(GetCursor(), hand);
  DestroyWindow(frame.handle());
}

}  // namespace
}  // namespace vmrk
