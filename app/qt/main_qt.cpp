// vmrkxupdate for Linux: the portable window logic over Qt Widgets, Qt Network
// and the POSIX platform layer; without a window for --silent and --check.
#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <optional>

#include "app/qt/qt_desktop.h"
#include "app/qt/updater_widget.h"
#include "app/unattended_run.h"
#include "app/updater_window.h"
#include "downloader/qt/qt_downloader.h"
#include "platform/background_work.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

int main(int argc, char** argv) {
  vmrk::CommandLineChoice choice = vmrk::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (choice.mode == vmrk::CommandLineChoice::kUsage) {
    std::fputs(vmrk::kUsageText, stderr);
    return vmrk::kExitUsage;
  }
  if (choice.mode == vmrk::CommandLineChoice::kHelp || choice.mode == vmrk::CommandLineChoice::kVersion) {
    std::fputs(choice.mode == vmrk::CommandLineChoice::kHelp ? vmrk::kUsageText : vmrk::VersionText().c_str(), stdout);
    return vmrk::kExitDone;
  }
  const bool unattended = choice.mode != vmrk::CommandLineChoice::kWindow;
  // No display is needed, or opened, for a run without a window.
  std::unique_ptr<QCoreApplication> application =
      unattended ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
  application->setApplicationName("vmrkxupdate");

  auto instance = vmrk::platform::CreateInstanceLock("vmrkxupdate");
  auto settings = vmrk::platform::OpenUserSettings();
  vmrk::QtDesktop desktop;
  vmrk::QtDownloader downloader;
  vmrk::UpdaterWindow window({desktop, *settings, *instance, downloader, vmrk::platform::ApplicationPath(),
                              vmrk::platform::ExecutablePath(), vmrk::platform::ReleaseRoot(),
                              vmrk::platform::MaintainerKeyPath(), unattended,
                              choice.mode == vmrk::CommandLineChoice::kCheck,
                              choice.mode == vmrk::CommandLineChoice::kRollback,
                              [] { return std::make_unique<vmrk::QtDownloader>(); },
                              [] { return vmrk::platform::NewWorkerThread(); },
                              [](int ms, std::function<void()> fire) {
                                return vmrk::platform::NewAlarm(ms, std::move(fire));
                              }});

  if (window.Form_Load() == vmrk::UpdaterWindow::LoadOutcome::kEndProcess)
    return unattended ? vmrk::kExitAnotherRunning : 0;

  if (unattended) {
    std::optional<int> status;
    vmrk::UnattendedRun run(window, choice, [&](int s) {
      status = s;
      QCoreApplication::exit(s);
    });
    downloader.SetEvents(&window);
    run.Started();
    int code = status ? *status : application->exec();
    downloader.SetEvents(nullptr);
    return code;
  }

  vmrk::UpdaterWidget widget(window, downloader);
  desktop.SetOwnWindow(&widget);
  widget.show();
  widget.activateWindow();
  return application->exec();
}
