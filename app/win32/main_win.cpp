// vmrkxupdate for Windows: the portable window logic over Win32, WinHTTP and
// the Win32 platform layer.
#include <memory>
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

#include "app/texts.h"
#include "app/unattended_run.h"
#include "app/updater_window.h"
#include "app/win32/win32_desktop.h"
#include "app/win32/win32_window.h"
#include "downloader/win32/winhttp_downloader.h"
#include "platform/background_work.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "platform/win32/utf16_win.h"

namespace {

std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; words != nullptr && i < count; ++i) arguments.push_back(vmrk::platform::Narrow(words[i]));
  if (words != nullptr) LocalFree(words);
  return arguments;
}

// /silent and /check: the window's handlers with no window; the downloader's
// hidden message window still needs this thread's message loop.
int RunUnattended(vmrk::UpdaterWindow& window, vmrk::WinHttpDownloader& downloader, vmrk::CommandLineChoice choice) {
  std::optional<int> status;
  vmrk::UnattendedRun run(window, choice, [&](int s) {
    status = s;
    PostQuitMessage(s);
  });
  downloader.SetEvents(&window);
  run.Started();
  MSG message;
  while (!status && GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  downloader.SetEvents(nullptr);
  return status ? *status : vmrk::kExitTransferFailed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  vmrk::CommandLineChoice choice = vmrk::ParseCommandLine(Arguments());
  // A program of the windows subsystem has no console to print to: the
  // usage and the version are shown in a message box.
  if (choice.mode == vmrk::CommandLineChoice::kUsage || choice.mode == vmrk::CommandLineChoice::kHelp ||
      choice.mode == vmrk::CommandLineChoice::kVersion) {
    const std::string text = choice.mode == vmrk::CommandLineChoice::kVersion ? vmrk::VersionText() : vmrk::kUsageText;
    MessageBoxW(nullptr, vmrk::platform::Widen(text).c_str(), vmrk::platform::Widen(vmrk::texts::kAppTitle).c_str(),
                MB_ICONINFORMATION | MB_OK);
    return choice.mode == vmrk::CommandLineChoice::kUsage ? vmrk::kExitUsage : vmrk::kExitDone;
  }
  const bool unattended = choice.mode != vmrk::CommandLineChoice::kWindow;
  // The single-instance test comes before anything else, the window included.
  auto lock = vmrk::platform::CreateInstanceLock("vmrkxupdate");
  auto settings = vmrk::platform::OpenUserSettings();
  vmrk::Win32Desktop desktop;
  vmrk::WinHttpDownloader downloader;
  vmrk::UpdaterWindow window({desktop, *settings, *lock, downloader, vmrk::platform::ApplicationPath(),
                              vmrk::platform::ExecutablePath(), vmrk::platform::ReleaseRoot(),
                              vmrk::platform::MaintainerKeyPath(), unattended,
                              choice.mode == vmrk::CommandLineChoice::kCheck,
                              choice.mode == vmrk::CommandLineChoice::kRollback,
                              [] { return std::make_unique<vmrk::WinHttpDownloader>(); },
                              [] { return vmrk::platform::NewWorkerThread(); },
                              [](int ms, std::function<void()> fire) {
                                return vmrk::platform::NewAlarm(ms, std::move(fire));
                              }});
  if (unattended) {
    if (window.Form_Load() == vmrk::UpdaterWindow::LoadOutcome::kEndProcess) return vmrk::kExitAnotherRunning;
    if (!downloader.Ready()) return vmrk::kExitTransferFailed;
    return RunUnattended(window, downloader, choice);
  }
  if (window.Form_Load() == vmrk::UpdaterWindow::LoadOutcome::kEndProcess) {
    // The running updater comes forward on its next tick; Windows lets it
    // take the foreground only with leave from the process that has it (us,
    // just started by the user), else it merely flashes in the taskbar.
    if (HWND running = FindWindowW(vmrk::Win32Window::ClassName(), nullptr)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(running, &pid);
      if (pid != 0) AllowSetForegroundWindow(pid);
    }
    return 0;
  }

  vmrk::Win32Window frame(window, downloader);
  if (!downloader.Ready() || !frame.Create(instance, show)) {
    // Out of window handles or desktop heap: said once, never a window that
    // waits for events that cannot come.
    MessageBoxW(nullptr, vmrk::platform::Widen(vmrk::texts::kCannotStart).c_str(),
                vmrk::platform::Widen(vmrk::texts::kAppTitle).c_str(), MB_ICONERROR | MB_OK);
    return 1;
  }
  desktop.SetOwnWindow(frame.handle());
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    frame.PreviewKey(message);  // then the key goes on to the focused control
    if (IsDialogMessageW(frame.handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
