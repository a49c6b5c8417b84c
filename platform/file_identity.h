// What a path is on disk, beyond its spelling: the same file under two names,
// a folder whatever its attributes, and where links lead.
#pragma once

#include <string>

#include "platform/status.h"

namespace vmrk::platform {

// True when both paths name one existing file (device and inode, or volume
// serial and file index): short names, case and links all see through.
bool SameFile(const std::string& a, const std::string& b);

// True for an existing folder, hidden or system ones included; a link to a
// folder counts.
bool IsFolder(const std::string& path);

// The existing path with every link, junction and "." or ".." resolved, in the
// host's spelling and without a trailing separator. A path that does not
// exist, or cannot be opened to ask, is a failure rather than its spelling.
Result<std::string> ResolvedPath(const std::string& path);

}  // namespace vmrk::platform
