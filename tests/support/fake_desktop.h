// Stands in for another program's window and the shell, which a test cannot
// have. Records what the updater asked of them.
#pragma once

#include <string>
#include <vector>

#include "platform/desktop.h"

namespace vmrk::test {

class FakeDesktop : public platform::Desktop {
 public:
  platform::WindowHandle foreground = 0;
  std::string foregroundTitle;

  std::vector<platform::WindowHandle> closeRequests;
  std::vector<std::string> opened;
  std::vector<std::pair<std::string, std::string>> messages;  // caption, text
  int showCalls = 0;
  int restoreCalls = 0;

  platform::WindowHandle ForegroundWindow() override { return foreground; }
  std::string WindowTitle(platform::WindowHandle window) override {
    return window == foreground ? foregroundTitle : std::string();
  }
  void PostCloseRequest(platform::WindowHandle window) override { closeRequests.push_back(window); }
  void ShellOpen(const std::string& target) override { opened.push_back(target); }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    messages.emplace_back(caption, text);
  }
  void ShowAndActivateOwnWindow() override { ++showCalls; }
  void RestoreOwnWindow() override { ++restoreCalls; }
};

}  // namespace vmrk::test
