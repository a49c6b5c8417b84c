// The small helpers that the list check and the installation share.
#pragma once

#include <string>

namespace vmrk {

// True for an ordinary file: folders, hidden and system entries, and any error
// give false.
bool FileExists(const std::string& path);

// The Windows folder, without a trailing separator; the same text every call.
std::string WindowsFolder();

}  // namespace vmrk
