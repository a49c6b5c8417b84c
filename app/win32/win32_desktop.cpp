#include "app/win32/win32_desktop.h"

#include "app/win32/desktop_shell_launch.h"
#include "platform/win32/utf16_win.h"

namespace vmrk {

platform::WindowHandle Win32Desktop::ForegroundWindow() {
  return static_cast<platform::WindowHandle>(reinterpret_cast<UINT_PTR>(GetForegroundWindow()));
}

std::string Win32Desktop::WindowTitle(platform::WindowHandle window) {
  HWND hwnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(window));
  // Unicode, so that "Vmr播放器" is found whatever the system's code page.
  int length = GetWindowTextLengthW(hwnd);
  if (length <= 0) return {};
  std::wstring title(static_cast<size_t>(length) + 1, L'\0');
  title.resize(static_cast<size_t>(GetWindowTextW(hwnd, title.data(), length + 1)));
  return platform::Narrow(title);
}

void Win32Desktop::PostCloseRequest(platform::WindowHandle window) {
  PostMessageW(reinterpret_cast<HWND>(static_cast<UINT_PTR>(window)), WM_SYSCOMMAND, SC_CLOSE, 0);
}

namespace {

// The shell takes no path of MAX_PATH or more, long-path aware or not: a
// longer one goes as its 8.3 spelling, the same file by a name it accepts.
std::wstring ForTheShell(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  std::wstring longForm = platform::WidePath(platform::Narrow(path));
  // One call into a buffer of the longest path: Wine's length query alone
  // answers short of what the name then needs.
  std::wstring shortForm(32768, L'\0');
  DWORD n = GetShortPathNameW(longForm.c_str(), shortForm.data(), static_cast<DWORD>(shortForm.size()));
  if (n == 0 || n >= shortForm.size()) return path;
  shortForm.resize(n);
  return platform::WithoutLongPrefix(shortForm);
}

}  // namespace

void Win32Desktop::ShellOpen(const std::string& fileOrAddress) {
  // Not waited for. The updater runs elevated; the player and the browser
  // must not, so the desktop starts them, in the folder the updater was
  // started in, as a direct start would have.
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(length, L'\0');
  folder.resize(GetCurrentDirectoryW(length, folder.data()));
  LaunchAsTheDesktop(ForTheShell(platform::Widen(fileOrAddress)), ForTheShell(folder));
}

void Win32Desktop::ShowMessage(const std::string& caption, const std::string& text) {
  MessageBoxW(window_, platform::Widen(text).c_str(), platform::Widen(caption).c_str(), MB_OK);
}

void Win32Desktop::ShowAndActivateOwnWindow() {
  if (window_ == nullptr) return;
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
}

void Win32Desktop::RestoreOwnWindow() {
  if (window_ != nullptr && IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
}

}  // namespace vmrk
