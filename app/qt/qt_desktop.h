// The desktop as the Linux front end sees it: X11 for other programs' windows,
// the desktop's opener for files and addresses, Qt for the own window.
#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/desktop.h"

namespace vmrk {

class QtDesktop : public platform::Desktop {
 public:
  void SetOwnWindow(QWidget* window) { window_ = window; }

  platform::WindowHandle ForegroundWindow() override;
  std::string WindowTitle(platform::WindowHandle window) override;
  void PostCloseRequest(platform::WindowHandle window) override;
  void ShellOpen(const std::string& fileOrAddress) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowAndActivateOwnWindow() override;
  void RestoreOwnWindow() override;

 private:
  QPointer<QWidget> window_;
};

}  // namespace vmrk
