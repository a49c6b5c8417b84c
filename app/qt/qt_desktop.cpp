#include "app/qt/qt_desktop.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include "platform/posix/x11_desktop.h"

namespace vmrk {

platform::WindowHandle QtDesktop::ForegroundWindow() { return platform::X11ForegroundWindow(); }

std::string QtDesktop::WindowTitle(platform::WindowHandle window) { return platform::X11WindowTitle(window); }

void QtDesktop::PostCloseRequest(platform::WindowHandle /*window*/) {
  // Asking the player to close arrives with the wizard's Next button.
}

void QtDesktop::ShellOpen(const std::string& fileOrAddress) {
  // Detached: the updater neither waits for nor hears from the opener.
  QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromStdString(fileOrAddress)});
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
