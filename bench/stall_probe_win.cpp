#include <windows.h>

#include <algorithm>
#include <memory>

#include "bench/stall_probe.h"
#include "downloader/win32/winhttp_downloader.h"

namespace vmrk::bench {
namespace {

// The shortest period Windows gives a timer.
constexpr UINT kPeriodMs = USER_TIMER_MINIMUM;
LARGE_INTEGER frequency, lastTick{};
double longest = 0;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (lastTick.QuadPart != 0) {
    const double gap = static_cast<double>(now.QuadPart - lastTick.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    longest = std::max(longest, gap - kPeriodMs);
  }
  lastTick = now;
}

}  // namespace

void InitEventLoop(int&, char**) { QueryPerformanceFrequency(&frequency); }

std::unique_ptr<Downloader> NewDownloader() { return std::make_unique<WinHttpDownloader>(); }

void RunEventLoopOnce() {
  MSG message;
  if (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void StartStallProbe() { SetTimer(nullptr, 0, kPeriodMs, Tick); }

double LongestStallMs() { return longest; }

}  // namespace vmrk::bench
