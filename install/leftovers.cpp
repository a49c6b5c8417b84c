#include "install/leftovers.h"

#include <set>
#include <vector>

#include "platform/files.h"
#include "platform/temp_name.h"

namespace vmrk {
namespace {

// Deep enough for any installation, shallow enough that a link cycle ends.
constexpr int kMaxDepth = 24;

void Sweep(const std::string& folder, const std::set<std::string>& keep, int depth, size_t* removed) {
  if (depth > kMaxDepth) return;
  Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(folder);
  if (!entries.ok()) return;
  const char sep = platform::PathSeparator();
  for (const platform::FolderEntry& entry : *entries) {
    const std::string path = folder + sep + entry.name;
    if (entry.isFolder) Sweep(path, keep, depth + 1, removed);
    else if (entry.isFile && IsUpdaterLeftover(entry.name) && !keep.count(path) && platform::RemoveFile(path).ok())
      ++*removed;
  }
}

}  // namespace

bool IsUpdaterLeftover(std::string_view name) { return platform::IsUpdaterTempName(name); }

size_t SweepLeftovers(const std::string& folder, const std::vector<std::string>& keep) {
  size_t removed = 0;
  Sweep(folder, std::set<std::string>(keep.begin(), keep.end()), 0, &removed);
  return removed;
}

}  // namespace vmrk
