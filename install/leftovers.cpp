#include "install/leftovers.h"

#include <vector>

#include "platform/files.h"

namespace vmrk {
namespace {

// Deep enough for any installation, shallow enough that a link cycle ends.
constexpr int kMaxDepth = 24;

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "TAG-DIGITS-DIGITS" at the end of name, after ".": true with the part
// before that dot in *stem.
bool EndsWithMark(std::string_view name, std::string_view tag, std::string_view* stem) {
  size_t lastDash = name.rfind('-');
  if (lastDash == std::string_view::npos || !AllDigits(name.substr(lastDash + 1))) return false;
  size_t firstDash = name.rfind('-', lastDash - 1);
  if (firstDash == std::string_view::npos || !AllDigits(name.substr(firstDash + 1, lastDash - firstDash - 1)))
    return false;
  std::string_view head = name.substr(0, firstDash);  // ".NAME.TAG"
  if (head.size() < tag.size() + 2 || head.substr(head.size() - tag.size()) != tag ||
      head[head.size() - tag.size() - 1] != '.')
    return false;
  *stem = head.substr(0, head.size() - tag.size() - 1);
  return true;
}

void Sweep(const std::string& folder, int depth, size_t* removed) {
  std::vector<platform::FolderEntry> entries;
  if (depth > kMaxDepth || !platform::ListFolder(folder, &entries).ok()) return;
  const char sep = platform::PathSeparator();
  for (const platform::FolderEntry& entry : entries) {
    const std::string path = folder + sep + entry.name;
    if (entry.isFolder) Sweep(path, depth + 1, removed);
    else if (entry.isFile && IsUpdaterLeftover(entry.name) && platform::RemoveFile(path).ok()) ++*removed;
  }
}

}  // namespace

bool IsUpdaterLeftover(std::string_view name) {
  std::string_view stem;
  for (std::string_view tag : {"vmrk", "old", "new", "part"})
    if (EndsWithMark(name, tag, &stem)) {
      // Hidden with a name of its own: ".NAME"; the Windows downloader's
      // partial files keep the plain name.
      if (stem.size() >= 2 && stem[0] == '.') return true;
      if (tag == "part" && !stem.empty() && stem[0] != '.') return true;
    }
  return false;
}

size_t SweepLeftovers(const std::string& folder) {
  size_t removed = 0;
  Sweep(folder, 0, &removed);
  return removed;
}

}  // namespace vmrk
