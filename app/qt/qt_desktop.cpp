#include "app/qt/qt_desktop.h"

#include <unistd.h>

#include <QMessageBox>

#include "platform/files.h"

#include "platform/posix/x11_desktop.h"

namespace vmrk {

platform::WindowHandle QtDesktop::ForegroundWindow() { return platform::X11ForegroundWindow(); }

std::string QtDesktop::WindowTitle(platform::WindowHandle window) { return platform::X11WindowTitle(window); }

void QtDesktop::PostCloseRequest(platform::WindowHandle window) { platform::X11RequestClose(window); }

void QtDesktop::ShellOpen(const std::string& fileOrAddress) {
  // A program is started itself; anything else goes to the desktop's opener.
  // Neither is waited for, and a failure is not reported.
  if (access(fileOrAddress.c_str(), X_OK) == 0 && platform::IsVisibleFile(fileOrAddress)) {
    platform::StartDetached(fileOrAddress, {}).IgnoreError();
    return;
  }
  platform::StartDetached("xdg-open", {fileOrAddress}).IgnoreError();
}

void QtDesktop::ShowMessage(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                  window_);
  box.exec();
}

void QtDesktop::ShowAndActivateOwnWindow() {
  if (!window_) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void QtDesktop::RestoreOwnWindow() {
  if (!window_) return;
  window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
}

}  // namespace vmrk
