// Putting one staged file in place.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace vmrk {

struct Registration {
  std::string program;
  std::vector<std::string> arguments;
};

// regsvr32 for a component below the Windows folder (root exactly "win",
// ".dll" or ".ocx" in any case); nullopt for every other file.
std::optional<Registration> RegistrationFor(const std::string& location, const std::string& target,
                                            const std::string& windowsFolder);

// The command line as Windows starts it: the installed file's path quoted, so
// that a path with spaces registers.
std::string CommandLineOf(const Registration& registration);

struct InstallPaths {
  std::string applicationPath;  // without a trailing separator
  std::string windowsFolder;
  std::string runningProgram;   // the updater's own executable, never replaced
};

// Installs the staged copy of location's file (application path + "update" +
// its file name): the updater's own program becomes the side file; any other
// file replaces its target in one step, after its folders are made, and a
// component below the Windows folder is registered without waiting. The
// staged copy is deleted in every case. Fails when the file is not in place.
// sideFile, when given, is set true when the file went to the side file.
Status InstallStagedFile(const std::string& location, const InstallPaths& paths, bool* sideFile = nullptr);

}  // namespace vmrk
