// vmrkxupdate for Linux: the portable window logic over Qt Widgets, Qt Network
// and the POSIX platform layer.
#include <QApplication>

#include "app/qt/qt_desktop.h"
#include "app/qt/updater_widget.h"
#include "app/updater_window.h"
#include "downloader/qt/qt_downloader.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName("vmrkxupdate");

  auto instance = vmrk::platform::CreateInstanceLock("vmrkxupdate");
  auto settings = vmrk::platform::OpenUserSettings();
  vmrk::QtDesktop desktop;
  vmrk::QtDownloader downloader;
  vmrk::UpdaterWindow window(
      {desktop, *settings, *instance, downloader, vmrk::platform::ApplicationPath(),
       vmrk::platform::ExecutablePath(), vmrk::platform::ReleaseRoot(), vmrk::platform::MaintainerKeyPath()});

  if (window.Form_Load() == vmrk::UpdaterWindow::LoadOutcome::kEndProcess) return 0;

  vmrk::UpdaterWidget widget(window, downloader);
  desktop.SetOwnWindow(&widget);
  widget.show();
  widget.activateWindow();
  return application.exec();
}
