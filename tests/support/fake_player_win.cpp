// Stands in for the player in the Windows tests: notes beside itself that it
// was started, and the folder it was started in (UTF-8).
#include <windows.h>

#include <string>

#include "platform/win32/utf16_win.h"

// A windows program, as the player is: no console of its own to set up.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Its folder may be far longer than MAX_PATH.
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  std::wstring marker = vmrk::platform::WidePath(vmrk::platform::Narrow(
      path.substr(0, path.find_last_of(L'\\')) + L"\\player-started.txt"));
  wchar_t folder[32768] = L"";
  GetCurrentDirectoryW(32768, folder);
  std::string text = "started\r\n" + vmrk::platform::Narrow(folder) + "\r\n";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
