#include "updatelist/file_helpers.h"

#include "platform/files.h"

namespace vmrk {

bool FileExists(const std::string& path) { return platform::IsVisibleFile(path); }

std::string WindowsFolder() { return platform::WindowsFolder(); }

}  // namespace vmrk
