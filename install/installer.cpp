#include "install/installer.h"

#include "install/staging.h"
#include "install/folder_chain.h"
#include "install/link_confinement.h"
#include "platform/command_line.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "updatelist/file_helpers.h"
#include "updatelist/location.h"

namespace vmrk {
std::optional<Registration> RegistrationFor(const LocationParts& where, const std::string& windowsFolder) {
  if (!where.registers) return std::nullopt;
  const char sep = platform::PathSeparator();
  return Registration{windowsFolder + sep + "system32" + sep + "regsvr32.exe", {where.target, "-s"}};
}

std::string CommandLineOf(const Registration& registration) {
  return platform::WindowsCommandLine(registration.program, registration.arguments);
}

Status InstallStagedFile(const LocationParts& parts, const InstallPaths& paths, bool* sideFile) {
  if (sideFile != nullptr) *sideFile = false;
  const char sep = platform::PathSeparator();
  const std::string staged = paths.applicationPath + sep + kStagingFolderName + sep + parts.fileName;
  const std::string& target = parts.target;

  Status placed;
  if (EqualsIgnoringCase(parts.fileName, platform::UpdaterProgramName()) ||
      target == paths.runningProgram || platform::SameFile(target, paths.runningProgram)) {
    // The running program is never replaced, whatever it is called and
    // however the list spells its path: its new copy waits beside it.
    placed = platform::ReplaceFileWith(staged, paths.applicationPath + sep + platform::SideFileName());
    if (sideFile != nullptr) *sideFile = true;
  } else if (Status confined = CheckFoldersStayInside(parts.underApplication ? paths.applicationPath
                                                                             : paths.windowsFolder,
                                                      parts.rest, {paths.applicationPath, paths.windowsFolder});
             !confined.ok()) {
    placed = confined;
  } else {
    Status folders = parts.underApplication ? MakeAppFolders(paths.applicationPath, parts.folderPart)
                                            : MakeFolderChain(paths.windowsFolder, parts.folderPart);
    placed = platform::ReplaceFileWith(staged, target);
    if (!placed.ok() && !folders.ok()) placed = folders;
    if (placed.ok()) {
      if (auto registration = RegistrationFor(parts, paths.windowsFolder);
          registration && FileExists(registration->program)) {
        // Not waited for, and its outcome is not looked at.
        platform::StartDetached(registration->program, registration->arguments).IgnoreError();
      }
    }
  }
  // Gone whatever happened: a staged copy left behind is swept at the next start.
  platform::RemoveFile(staged).IgnoreError();
  return placed;
}

}  // namespace vmrk
