// What installing a file involves beside the file itself: the folders it
// goes to, and the registration of a component.
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
// regsvr32 for the installed component at target.
Registration RegistrationOf(const std::string& target, const std::string& windowsFolder);

// The command line as Windows starts it: the installed file's path quoted, so
// that a path with spaces registers.
std::string CommandLineOf(const Registration& registration);

struct InstallPaths {
  std::string applicationPath;  // without a trailing separator
  std::string windowsFolder;
  std::string runningProgram;   // the updater's own executable, never replaced
};

}  // namespace vmrk
