// The maintainer's list generator: walks a release folder and writes one
// update-list line for every file below it, in the order the updater numbers
// them (a folder's own files, sorted by name, before its subfolders).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

struct GeneratedList {
  std::string ListText;  // the list's plain text
  size_t files = 0;
  // Set when a file cannot be carried by a list (too long, or a name that
  // would break its line); then ListText must not be published.
  std::string refusal;
};

// Called now and then during the walk with the count of files listed so far.
using WalkProgress = std::function<void(size_t files)>;

// releaseRoot ends with the host's separator. A missing or unreadable root
// gives an empty list; folders and files that cannot be read are passed over.
GeneratedList GenerateUpdateList(const std::string& releaseRoot, const WalkProgress& progress = {});

// Saves the list as the rich-text document the server publishes, through a
// temporary file renamed over path: a failure never leaves a torn list.
Status SaveUpdateList(const std::string& path, std::string_view listText);

}  // namespace vmrk
