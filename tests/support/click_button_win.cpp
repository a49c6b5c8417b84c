// Clicks a button of the updater's window the way a user's click arrives
// (BM_CLICK), once the button is there and enabled.
//   click_button CAPTION [SECONDS]    exit 0 clicked, 1 not found in time
#include <windows.h>

#include <string>

#include "platform/win32/utf16_win.h"

namespace {

struct Search {
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK Child(HWND child, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  wchar_t text[64] = L"";
  GetWindowTextW(child, text, 64);
  if (search->caption == text && IsWindowEnabled(child) && IsWindowVisible(child)) {
    search->found = child;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  Search search{argv[1]};
  DWORD seconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30;
  ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
  while (GetTickCount64() < deadline) {
    HWND window = FindWindowW(L"vmrkxupdate.frmDLTest", nullptr);
    if (window != nullptr) {
      search.found = nullptr;
      EnumChildWindows(window, Child, reinterpret_cast<LPARAM>(&search));
      if (search.found != nullptr) {
        SendMessageW(search.found, BM_CLICK, 0, 0);
        return 0;
      }
    }
    Sleep(100);
  }
  return 1;
}
