// Creating the missing folders of an install target, parent before child.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// folderPart is a location up to and including its last backslash, root
// prefix included ("app\plugins\skins\"). Each level below base is tested
// (folders count, hidden and system entries do not) and created where
// missing. The first level that cannot be created ends the chain, and its
// failure is returned; deeper levels are not attempted.
Status MakeFolderChain(const std::string& base, std::string_view folderPart);

Status MakeAppFolders(const std::string& applicationPath, std::string_view folderPart);
Status MakeWinFolders(std::string_view folderPart);

// A location's backslashes in the host's spelling.
std::string NativeSeparators(std::string_view location);

}  // namespace vmrk
