#include <windows.h>

#include <algorithm>
#include <memory>

#include "bench/stall_probe.h"
#include "downloader/win32/winhttp_downloader.h"

namespace vmrk::bench {
namespace {

// The shortest period Windows gives a timer.
constexpr UINT kPeriodMs = USER_TIMER_MINIMUM;
LARGE_INTEGER frequency, lastTick{}, started{};
double longest = 0, longestAt = 0;

double Ms(LARGE_INTEGER t) {
  return static_cast<double>(t.QuadPart - started.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (lastTick.QuadPart != 0) {
    const double gap = static_cast<double>(now.QuadPart - lastTick.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    if (gap - kPeriodMs > longest) {
      longest = gap - kPeriodMs;
      longestAt = Ms(now);
    }
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

void StartStallProbe() {
  QueryPerformanceCounter(&started);
  SetTimer(nullptr, 0, kPeriodMs, Tick);
}

double LongestStallMs() { return longest; }
double LongestStallEndedAtMs() { return longestAt; }
double NowMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return Ms(now);
}

}  // namespace vmrk::bench
