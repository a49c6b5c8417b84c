// What the updater needs from the desktop around it: the window that was in
// front when it started, a close request to that window, the shell's "open",
// and bringing its own window up. Tests replace this, since another program's
// window and the shell cannot be had there.
#pragma once

#include <cstdint>
#include <string>

namespace vmrk::platform {

// 0 means "no window".
using WindowHandle = std::uint64_t;

class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual WindowHandle ForegroundWindow() = 0;
  // UTF-8 title, empty when the window has none or is gone.
  virtual std::string WindowTitle(WindowHandle window) = 0;
  // Asks another program's window to close; does not wait, reports nothing.
  virtual void PostCloseRequest(WindowHandle window) = 0;
  // Opens a file or an address as the shell would; does not wait.
  virtual void ShellOpen(const std::string& fileOrAddress) = 0;
  // A message box with an OK button only; returns when it is dismissed.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  virtual void ShowAndActivateOwnWindow() = 0;
  virtual void RestoreOwnWindow() = 0;
};

}  // namespace vmrk::platform
