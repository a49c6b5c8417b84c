// Stands in for the player in the Windows tests: notes beside itself that it
// was started, and the folder it was started in (UTF-8).
#include <windows.h>

#include <string>

#include "platform/win32/utf16_win.h"

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring marker(path, n);
  marker = marker.substr(0, marker.find_last_of(L'\\')) + L"\\player-started.txt";
  wchar_t folder[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::string text = "started\r\n" + vmrk::platform::Narrow(folder) + "\r\n";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
