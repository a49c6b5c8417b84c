// The Linux window over a real list from a real server, measured from inside
// the process (run it under Xvfb; bench/window_bench.sh does):
//   window_bench idle APPDIR SECONDS   CPU used while the fetched list is shown
//   window_bench paint APPDIR          Form_Load to the first paint of the rows
//   window_bench check APPDIR LIST     the same list loaded and checked alone
//   window_bench install APPDIR        Next to Finish, every row fetched
// APPDIR holds myip.txt; nothing of it is installed before the run.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/qt/qt_desktop.h"
#include "app/qt/updater_widget.h"
#include "app/texts.h"
#include "app/updater_window.h"
#include "downloader/qt/qt_downloader.h"
#include "platform/ini_settings_store.h"
#include "platform/single_instance.h"
#include "updatelist/document_loader.h"
#include "updatelist/file_helpers.h"
#include "updatelist/list_check.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Calls done() once the first paint of the table shows rows.
class FirstRowsPaint : public QObject {
 public:
  FirstRowsPaint(QTreeView* view, std::function<void()> done) : view_(view), done_(std::move(done)) {
    view_->viewport()->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && done_ && view_->model()->rowCount() > 0) {
      // Called once this paint is over: the paint is part of the time.
      QTimer::singleShot(0, std::move(done_));
      done_ = nullptr;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QTreeView* view_;
  std::function<void()> done_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_bench idle|paint|check|install APPDIR [SECONDS|LIST]\n");
    return 2;
  }
  const std::string mode = argv[1], appDir = argv[2];
  if (mode == "check") {
    if (argc < 4) return 2;
    QElapsedTimer clock;
    clock.start();
    const vmrk::Result<std::string> text = vmrk::LoadDocumentText(argv[3]);
    if (!text.ok()) return 1;
    std::vector<vmrk::FileRow> rows;
    vmrk::Status checked = vmrk::CheckListText(*text, appDir, vmrk::WindowsFolder(), {}, &rows);
    std::printf("rows=%zu check_ms=%.1f\n", rows.size(), clock.nsecsElapsed() / 1e6);
    return checked.ok() ? 0 : 1;
  }

  QApplication application(argc, argv);
  char settingsPattern[] = "/tmp/vmrk-wbench-XXXXXX";
  vmrk::platform::IniSettingsStore settings(mkdtemp(settingsPattern));
  auto lock = vmrk::platform::CreateInstanceLock("vmrkxupdate-bench");
  vmrk::QtDesktop desktop;
  vmrk::QtDownloader downloader;
  vmrk::UpdaterWindow window({desktop, settings, *lock, downloader, appDir, appDir + "/vmrkxupdate", "/nonexistent/"});
  QElapsedTimer clock;
  clock.start();
  if (window.Form_Load() != vmrk::UpdaterWindow::LoadOutcome::kShowWindow) return 1;
  vmrk::UpdaterWidget widget(window, downloader);
  desktop.SetOwnWindow(&widget);
  widget.show();
  auto* table = widget.findChild<QTreeView*>("ListView1");
  const vmrk::WindowState& state = window.state();
  int status = 0;

  FirstRowsPaint painted(table, [&] {
    double paintMs = clock.nsecsElapsed() / 1e6;
    if (mode == "paint") {
      std::printf("rows=%zu paint_ms=%.1f\n", state.rows.size(), paintMs);
      application.quit();
    } else if (mode == "idle") {
      // Settle, then measure nothing happening.
      QTimer::singleShot(1000, [&] {
        double cpu0 = CpuSeconds();
        QElapsedTimer idle;
        idle.start();
        QTimer::singleShot(static_cast<int>(std::atof(argv[3]) * 1000), [&, cpu0, idle] {
          double wall = idle.nsecsElapsed() / 1e9;
          std::printf("rows=%zu idle_cpu_percent=%.3f\n", state.rows.size(), (CpuSeconds() - cpu0) / wall * 100);
          application.quit();
        });
      });
    } else if (mode == "install") {
      const size_t files = state.rows.size();
      QElapsedTimer run;
      run.start();
      window.cmdBegin_Click();
      widget.Render();
      auto* poll = new QTimer(&application);
      QObject::connect(poll, &QTimer::timeout, [&, files, run, poll] {
        if (state.cmdBegin.caption == vmrk::texts::kNext || !state.cmdBegin.enabled) return;
        poll->stop();
        double seconds = run.nsecsElapsed() / 1e9;
        bool complete = state.statusText == vmrk::texts::kStatusCompleted;
        std::printf("files=%zu seconds=%.3f files_per_second=%.1f complete=%d\n", files, seconds, files / seconds,
                    complete ? 1 : 0);
        if (!complete) status = 1;
        application.quit();
      });
      poll->start(5);
    }
  });
  // A failed or empty run must not hang the benchmark: Close is offered
  // only when there is nothing (more) to measure.
  QTimer failed;
  QObject::connect(&failed, &QTimer::timeout, [&] {
    if (state.cmdBegin.caption != vmrk::texts::kClose || !state.cmdBegin.enabled) return;
    std::fprintf(stderr, "the run ended early: %s\n", state.statusText.c_str());
    status = 1;
    application.quit();
  });
  failed.start(50);
  application.exec();
  return status;
}
