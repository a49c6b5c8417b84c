#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "bench/stall_probe.h"
#include "downloader/qt/qt_downloader.h"

namespace vmrk::bench {
namespace {

constexpr int kPeriodMs = 2;
// Never destroyed: it keeps a reference to main's argc, which is gone by the
// time static objects are.
QCoreApplication* application = nullptr;
QElapsedTimer clock;
qint64 lastTick = -1;
double longest = 0, longestAt = 0;

}  // namespace

void InitEventLoop(int& argc, char** argv) { application = new QCoreApplication(argc, argv); }

std::unique_ptr<Downloader> NewDownloader() { return std::make_unique<QtDownloader>(); }

void RunEventLoopOnce() { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); }

void StartStallProbe() {
  auto* timer = new QTimer(application);
  timer->setTimerType(Qt::PreciseTimer);
  clock.start();
  QObject::connect(timer, &QTimer::timeout, [] {
    const qint64 now = clock.nsecsElapsed();
    if (lastTick >= 0) {
      const double stall = static_cast<double>(now - lastTick) / 1e6 - kPeriodMs;
      if (stall > longest) {
        longest = stall;
        longestAt = static_cast<double>(now) / 1e6;
      }
    }
    lastTick = now;
  });
  timer->start(kPeriodMs);
}

double LongestStallMs() { return longest; }
double LongestStallEndedAtMs() { return longestAt; }
double NowMs() { return static_cast<double>(clock.nsecsElapsed()) / 1e6; }

}  // namespace vmrk::bench
