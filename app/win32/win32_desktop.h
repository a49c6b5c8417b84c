// The desktop as the Windows front end sees it: user32 and shell32.
#pragma once

#include <windows.h>

#include "platform/desktop.h"

namespace vmrk {

class Win32Desktop : public platform::Desktop {
 public:
  void SetOwnWindow(HWND window) { window_ = window; }

  platform::WindowHandle ForegroundWindow() override;
  std::string WindowTitle(platform::WindowHandle window) override;
  void PostCloseRequest(platform::WindowHandle window) override;
  void ShellOpen(const std::string& fileOrAddress) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowAndActivateOwnWindow() override;
  void RestoreOwnWindow() override;

 private:
  HWND window_ = nullptr;
};

}  // namespace vmrk
