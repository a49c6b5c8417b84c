// Stands in for the player in the Windows end-to-end test: notes that it was
// started, beside itself.
#include <windows.h>

#include <string>

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring marker(path, n);
  marker = marker.substr(0, marker.find_last_of(L'\\')) + L"\\player-started.txt";
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written;
  WriteFile(file, "started\r\n", 9, &written, nullptr);
  CloseHandle(file);
  return 0;
}
