// The event loop of the platform the stall benchmark runs on (Qt's on
// Linux, the Win32 message loop on Windows), with a probe: a timer of a few
// milliseconds whose longest lateness is the longest time the loop, and so
// the window, could do nothing else.
#pragma once

#include <memory>

#include "downloader/downloader.h"

namespace vmrk::bench {

void InitEventLoop(int& argc, char** argv);
std::unique_ptr<Downloader> NewDownloader();
// Waits for events and handles those that came.
void RunEventLoopOnce();
void StartStallProbe();
// The longest gap between two ticks of the probe, less its period.
double LongestStallMs();
// When it ended, and now, in ms since the probe started.
double LongestStallEndedAtMs();
double NowMs();

}  // namespace vmrk::bench
