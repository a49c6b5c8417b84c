#include "install/folder_chain.h"

#include "platform/file_identity.h"
#include "platform/files.h"
#include "updatelist/file_helpers.h"
#include "updatelist/location.h"

namespace vmrk {

Status MakeFolderChain(const std::string& base, std::string_view folderPart) {
  // Positions as the list format counts them: the root prefix is three
  // characters, so the path below it starts at the fourth whatever the first
  // backslash's place; that backslash only decides whether there is a chain
  // at all.
  const size_t restStart = RootPrefixBytes(folderPart);
  size_t a = folderPart.find('\\');
  if (a == std::string_view::npos || a == 0) return Status::Ok();
  for (;;) {
    size_t b = folderPart.find('\\', a + 1);
    if (b == std::string_view::npos) return Status::Ok();
    std::string candidate = base;
    if (b > restStart) candidate += NativeSeparators(folderPart.substr(restStart, b - restStart));
    if (!platform::IsFolder(candidate) && !platform::IsVisibleEntry(candidate)) {
      Status made = platform::CreateFolder(candidate);
      if (!made.ok()) return made;
    }
    a = b;
  }
}

Status MakeAppFolders(const std::string& applicationPath, std::string_view folderPart) {
  return MakeFolderChain(applicationPath, folderPart);
}

Status MakeWinFolders(std::string_view folderPart) { return MakeFolderChain(WindowsFolder(), folderPart); }

}  // namespace vmrk
