// Putting one staged file in place.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "updatelist/location.h"

namespace vmrk {

struct Registration {
  std::string program;
  std::vector<std::string> arguments;
};

// regsvr32 for a component below the Windows folder (where.registers);
// nullopt for every other file.
std::optional<Registration> RegistrationFor(const LocationParts& where, const std::string& windowsFolder);

// The command line as Windows starts it: the installed file's path quoted, so
// that a path with spaces registers.
std::string CommandLineOf(const Registration& registration);

struct InstallPaths {
  std::string applicationPath;  // without a trailing separator
  std::string windowsFolder;
  std::string runningProgram;   // the updater's own executable, never replaced
};

// Installs the staged copy of where's file (application path + "update" +
// its file name), planned with the same paths: the updater's own program becomes the side file; any other
// file replaces its target in one step, after its folders are made, and a
// component below the Windows folder is registered without waiting. The
// staged copy is deleted in every case. Fails when the file is not in place.
// sideFile, when given, is set true when the file went to the side file.
Status InstallStagedFile(const LocationParts& where, const InstallPaths& paths, bool* sideFile = nullptr);

}  // namespace vmrk
