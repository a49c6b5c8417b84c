#include "install/link_confinement.h"

#include "platform/file_identity.h"
#include "platform/files.h"
#include "updatelist/location.h"

namespace vmrk {
namespace {

bool IsInside(const std::string& path, const std::string& root) {
  const char sep = platform::PathSeparator();
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == sep || (!root.empty() && root.back() == sep);
}

}  // namespace

Status CheckFoldersStayInside(const std::string& base, std::string_view rest, const std::vector<std::string>& roots) {
  std::vector<std::string> resolvedRoots;
  for (const std::string& root : roots) {
    // A root that cannot be resolved counts as spelled, so that a system
    // which resolves nothing refuses nothing it cannot judge.
    Result<std::string> resolved = platform::ResolvedPath(root);
    resolvedRoots.push_back(resolved.ok() ? *resolved : root);
  }
  const std::string native = NativeSeparators(rest);
  const char sep = platform::PathSeparator();
  size_t end = native.find(sep, 1);
  // Up to, not including, the file's own name.
  for (; end != std::string::npos; end = native.find(sep, end + 1)) {
    std::string folder = base + native.substr(0, end);
    if (!platform::PathExists(folder)) return Status::Ok();
    Result<std::string> resolved = platform::ResolvedPath(folder);
    if (!resolved.ok()) continue;  // not a folder: the placement will fail
    bool inside = false;
    for (const std::string& root : resolvedRoots) inside = inside || IsInside(*resolved, root);
    if (!inside) return Status::Error(folder + " leads outside the application and Windows folders, to " + *resolved);
  }
  return Status::Ok();
}

}  // namespace vmrk
