#include "install/folder_chain.h"

#include "platform/file_identity.h"
#include "platform/files.h"
#include "updatelist/file_helpers.h"
#include "updatelist/location.h"

namespace vmrk {

std::vector<std::string> MissingFolders(const std::string& base, std::string_view folderPart) {
  // Positions as the list format counts them: the root prefix is three
  // characters, so the path below it starts at the fourth whatever the first
  // backslash's place; that backslash only decides whether there is a chain
  // at all.
  std::vector<std::string> missing;
  const size_t restStart = RootPrefixBytes(folderPart);
  size_t a = folderPart.find('\\');
  if (a == std::string_view::npos || a == 0) return missing;
  for (;;) {
    size_t b = folderPart.find('\\', a + 1);
    if (b == std::string_view::npos) return missing;
    std::string candidate = base;
    if (b > restStart) candidate += NativeSeparators(folderPart.substr(restStart, b - restStart));
    // Once one level is missing, every level below it is too.
    if (!missing.empty() || (!platform::IsFolder(candidate) && !platform::IsVisibleEntry(candidate)))
      missing.push_back(std::move(candidate));
    a = b;
  }
}

Status MakeFolderChain(const std::string& base, std::string_view folderPart) {
  for (const std::string& folder : MissingFolders(base, folderPart))
    if (Status made = platform::CreateFolder(folder); !made.ok()) return made;
  return Status::Ok();
}

Status MakeAppFolders(const std::string& applicationPath, std::string_view folderPart) {
  return MakeFolderChain(applicationPath, folderPart);
}

Status MakeWinFolders(std::string_view folderPart) { return MakeFolderChain(WindowsFolder(), folderPart); }

}  // namespace vmrk
