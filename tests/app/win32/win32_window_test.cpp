// The Win32 window itself, created hidden in this process under Wine.
#include "app/win32/win32_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>

#include "app/texts.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "platform/win32/utf16_win.h"
#include "tests/support/event_pump.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"
#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "updatelist/hex_base64.h"
#include "updatelist/rtf_writer.h"
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

// One updater window of this process, hidden, over a temporary application
// folder; destroyed with the object.
struct LiveWindow {
  test::TempDir app;
  test::FakeDesktop desktop;
  decltype(platform::OpenUserSettings()) settings = platform::OpenUserSettings();
  decltype(platform::CreateInstanceLock("")) lock = platform::CreateInstanceLock("vmrkxupdate-window-test");
  WinHttpDownloader downloader;
  UpdaterWindow window{{desktop, *settings, *lock, downloader, app.Native(), app.NativeSub("vmrkxupdate.exe"), "x\\"}};
  std::optional<Win32Window> frame;

  // Start-up, then the window made; false when either did not come to be.
  bool Open() {
    if (window.Form_Load() != UpdaterWindow::LoadOutcome::kShowWindow) return false;
    frame.emplace(window, downloader);
    return frame->Create(GetModuleHandleW(nullptr), SW_HIDE);
  }
  ~LiveWindow() {
    if (frame && frame->handle() != nullptr) DestroyWindow(frame->handle());
  }
};

TEST(Win32Window, OnlyTheLinkShowsTheHandPointer) {
  LiveWindow live;  // no myip.txt: the window shows its no-address state and fetches nothing
  ASSERT_TRUE(live.Open());
  Win32Window& frame = *live.frame;
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
}

RECT RectIn(HWND parent, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Each column shows its widest text whole at the default size: a listed date
// with its seconds, a retry. A list view needs about 12 pixels around a text.
TEST(Win32Window, EveryColumnHoldsItsWidestText) {
  LiveWindow live;
  ASSERT_TRUE(live.Open());
  HWND list = FindWindowExW(live.frame->handle(), nullptr, WC_LISTVIEWW, nullptr);
  ASSERT_NE(list, nullptr);
  const wchar_t* widest[] = {L"序号", L"文件位置", L"1023k", L"2026-11-20 09:30:45", L"重试 3/3"};
  for (int column = 0; column < 5; ++column)
    EXPECT_LE(ListView_GetStringWidth(list, widest[column]) + 12, ListView_GetColumnWidth(list, column)) << column;
}

int FontHeight(HWND control) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return std::abs(font.lfHeight);
}

// Moved to a monitor of a higher DPI (125%: the screen here is small), the
// window takes the suggested rectangle and everything in it grows with it:
// places, sizes, fonts, columns.
TEST(Win32Window, ANewDpiScalesTheWholeWindow) {
  LiveWindow live;
  ASSERT_TRUE(live.Open());
  Win32Window& frame = *live.frame;
  HWND begin = ChildWithText(frame.handle(), platform::Widen(texts::kClose));
  HWND status = ChildWithText(frame.handle(), platform::Widen(texts::kStatusNoAddressFile));
  ASSERT_NE(begin, nullptr);
  ASSERT_NE(status, nullptr);
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  RECT before = RectIn(frame.handle(), begin);
  int fontBefore = FontHeight(status);
  RECT frameBefore;
  GetWindowRect(frame.handle(), &frameBefore);

  auto grown = [](long length) { return static_cast<int>(length * 5 / 4); };
  int columnBefore = ListView_GetColumnWidth(FindWindowExW(frame.handle(), nullptr, WC_LISTVIEWW, nullptr), 1);
  RECT suggested{40, 30, 40 + grown(frameBefore.right - frameBefore.left),
                 30 + grown(frameBefore.bottom - frameBefore.top)};
  SendMessageW(frame.handle(), WM_DPICHANGED, MAKEWPARAM(dpi * 5 / 4, dpi * 5 / 4), reinterpret_cast<LPARAM>(&suggested));

  RECT frameAfter;
  GetWindowRect(frame.handle(), &frameAfter);
  EXPECT_EQ(frameAfter.left, suggested.left);
  EXPECT_EQ(frameAfter.right - frameAfter.left, suggested.right - suggested.left);
  RECT after = RectIn(frame.handle(), begin);
  EXPECT_NEAR(after.left, grown(before.left), 2);
  EXPECT_NEAR(after.top, grown(before.top), 2);
  EXPECT_NEAR(after.right - after.left, grown(before.right - before.left), 2);
  EXPECT_NEAR(FontHeight(status), grown(fontBefore), 1);
  HWND list = FindWindowExW(frame.handle(), nullptr, WC_LISTVIEWW, nullptr);
  EXPECT_NEAR(ListView_GetColumnWidth(list, 1), grown(columnBefore), 2);
}

std::wstring Cell(HWND list, int row, int column) {
  wchar_t text[256] = L"";
  ListView_GetItemText(list, row, column, text, 256);
  return text;
}

// The list view asks the window for what it paints: a new list shows its
// rows, and each row's mark appears as its file is installed.
TEST(Win32Window, TheListViewShowsEveryRowAndEachFilesMarkAsItIsInstalled) {
  // The address file names a server, never a folder on it: the release lies
  // at the top of what the suite's server serves, the temporary folder.
  struct TopRelease {
    std::filesystem::path top = std::filesystem::temp_directory_path() / "vmrkxupdate";
    ~TopRelease() { std::filesystem::remove_all(top); }
  } topRelease;
  LiveWindow live;
  test::TempDir& app = live.app;
  std::filesystem::remove_all(topRelease.top);
  for (auto [name, bytes] : {std::pair{"一.txt", "1"}, {"two.txt", "22"}, {"three.txt", "333"}}) {
    std::filesystem::create_directories(topRelease.top / "app");
    std::ofstream(topRelease.top / "app" / test::PathOf(name), std::ios::binary) << bytes;
  }
  std::string text =
      "app\\一.txt?1*2008-5-12 14:30:05\r\napp\\two.txt?2*2008-5-12 14:30:05\r\napp\\three.txt?3*2008-5-12 14:30:05\r\n";
  std::string rtf = PlainTextToRtf(text);
  std::ofstream(topRelease.top / "list.txt", std::ios::binary) << rtf;
  // This build trusts a key compiled in, so the release is signed, here by a
  // key of the test's own that the application folder trusts as well.
  Result<platform::KeyPair> key = platform::GenerateKey();
  ASSERT_TRUE(key.ok());
  const std::string& privateKey = key->privateKey;
  std::string manifest;
  app.Write("vmrkxupdate.keys", ToBase64(key->publicKey) + "\n");
  std::int64_t now = std::time(nullptr);
  ASSERT_TRUE(BuildSignedManifest(test::Utf8Of(topRelease.top), rtf, text, {privateKey}, now, now + 3600, &manifest).ok());
  std::ofstream(topRelease.top / "list.txt.sig", std::ios::binary) << manifest;
  test::LoopbackServer server;
  app.Write("myip.txt", "seip:" + server.HostPort() + "\r\n");
  ASSERT_TRUE(live.Open());
  Win32Window& frame = *live.frame;
  const UpdaterWindow& window = live.window;
  ASSERT_TRUE(test::PumpUntil([&] { return window.state().cmdBegin.enabled; }, 15000));
  HWND list = nullptr;
  EnumChildWindows(
      frame.handle(),
      [](HWND child, LPARAM found) -> BOOL {
        wchar_t name[64] = L"";
        GetClassNameW(child, name, 64);
        if (std::wstring(name) != WC_LISTVIEWW) return TRUE;
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&list));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(ListView_GetItemCount(list), 3) << window.state().statusText << " rows " << window.state().rows.size();
  auto expectTheState = [&] {
    for (int row = 0; row < 3; ++row) {
      const FileRow& r = window.state().rows[static_cast<size_t>(row)];
      const std::string* cells[] = {&r.number, &r.location, &r.size, &r.modified, &r.status};
      for (int column = 0; column < 5; ++column)
        EXPECT_EQ(Cell(list, row, column), platform::Widen(*cells[column])) << row << "," << column;
    }
  };
  expectTheState();
  EXPECT_EQ(Cell(list, 0, 1), L"app\\一.txt");

  HWND next = ChildWithText(frame.handle(), platform::Widen(texts::kNext));
  ASSERT_NE(next, nullptr);
  SendMessageW(next, BM_CLICK, 0, 0);
  ASSERT_TRUE(test::PumpUntil([&] { return window.state().cmdBegin.caption == texts::kFinish; }, 15000));
  expectTheState();
  for (int row = 0; row < 3; ++row) EXPECT_EQ(Cell(list, row, 4), platform::Widen(texts::kRowDone)) << row;
  EXPECT_EQ(app.Read("three.txt"), "333");
}

}  // namespace
}  // namespace vmrk
