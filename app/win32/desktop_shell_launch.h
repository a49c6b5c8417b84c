// Starting a program or an address through the desktop's own shell process
// (Explorer), so that it runs at the user's normal level even when the
// updater runs elevated: what the desktop starts gets the desktop's token.
#pragma once

#include <string>

namespace vmrk {

enum class LaunchRoute { kDesktopShell, kDirect, kFailed };

// The desktop shell's IShellDispatch2::ShellExecute with the given working
// folder; when no desktop shell runs (or it refuses), ShellExecuteW from
// this process, with the same folder. Does not wait for the program.
LaunchRoute LaunchAsTheDesktop(const std::wstring& fileOrAddress, const std::wstring& workingFolder);

}  // namespace vmrk
