// Clicks a button of the updater's window the way a user's click arrives
// (BM_CLICK), once the button is there and enabled; "CLOSE" closes the
// window the way its frame's close box does. With END_MS it then waits for
// the updater's process to end and prints how long that took from the click.
// "--in-dialog" first looks in a message box instead of the updater's window.
//   click_button [--in-dialog] CAPTION [SECONDS [END_MS]]
//   exit 0 clicked (and ended in time), 1 not found in time, 3 did not end in time
#include <windows.h>

#include <cstdio>
#include <string>

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
  const wchar_t* windowClass = L"vmrkxupdate.frmDLTest";
  if (argc > 1 && std::wstring(argv[1]) == L"--in-dialog") {
    windowClass = L"#32770";
    --argc;
    ++argv;
  }
  if (argc < 2) return 2;
  Search search{argv[1]};
  bool close = search.caption == L"CLOSE";
  DWORD seconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30;
  long endMs = argc > 3 ? _wtol(argv[3]) : -1;
  ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
  while (GetTickCount64() < deadline) {
    HWND window = FindWindowW(windowClass, nullptr);
    if (window != nullptr) {
      search.found = nullptr;
      if (!close) EnumChildWindows(window, Child, reinterpret_cast<LPARAM>(&search));
      if (close || search.found != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = endMs >= 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
        ULONGLONG clicked = GetTickCount64();
        if (close) SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        else SendMessageW(search.found, BM_CLICK, 0, 0);
        if (endMs < 0) return 0;
        if (process == nullptr) return 3;
        bool ended = WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
        ULONGLONG took = GetTickCount64() - clicked;
        std::printf("%s %llu ms after the click\n", ended ? "ended" : "still running", took);
        return ended && took <= static_cast<ULONGLONG>(endMs) ? 0 : 3;
      }
    }
    Sleep(100);
  }
  return 1;
}
