#include "install/installer.h"

#include "platform/command_line.h"
#include "platform/files.h"

namespace vmrk {

std::optional<Registration> RegistrationFor(const LocationParts& where, const std::string& windowsFolder) {
  if (!where.registers) return std::nullopt;
  return RegistrationOf(where.target, windowsFolder);
}

Registration RegistrationOf(const std::string& target, const std::string& windowsFolder) {
  const char sep = platform::PathSeparator();
  return Registration{windowsFolder + sep + "system32" + sep + "regsvr32.exe", {target, "-s"}};
}

std::string CommandLineOf(const Registration& registration) {
  return platform::WindowsCommandLine(registration.program, registration.arguments);
}

}  // namespace vmrk
