// The staging folder below the application folder: every file transfer saves
// there, and the installation takes each file from there.
#pragma once

namespace vmrk {
inline constexpr char kStagingFolderName[] = "update";
}  // namespace vmrk
