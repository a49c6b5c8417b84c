// Creating the missing folders of an install target, parent before child.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk {

// folderPart is a location up to and including its last backslash, root
// prefix included ("app\plugins\skins\"). Each level below base is created
// unless it is a folder (hidden or not: a hidden folder is still in the way
// of a new one) or a visible file (which then fails the placement). The first level that cannot be created ends the chain, and its
// failure is returned; deeper levels are not attempted.
Status MakeFolderChain(const std::string& base, std::string_view folderPart);

// The levels of that chain that are missing, parent first: what
// MakeFolderChain would create, for a caller that records them first.
std::vector<std::string> MissingFolders(const std::string& base, std::string_view folderPart);

Status MakeAppFolders(const std::string& applicationPath, std::string_view folderPart);
Status MakeWinFolders(std::string_view folderPart);

}  // namespace vmrk
