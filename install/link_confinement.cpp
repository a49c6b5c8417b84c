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

FolderConfinement::FolderConfinement(const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    // A root that cannot be resolved counts as spelled, so that a system
    // which resolves nothing refuses nothing it cannot judge.
    Result<std::string> resolved = platform::ResolvedPath(root);
    resolvedRoots_.push_back(resolved.ok() ? *resolved : root);
  }
}

Status FolderConfinement::Check(const std::string& base, std::string_view rest) {
  const std::string native = NativeSeparators(rest);
  const char sep = platform::PathSeparator();
  size_t end = native.find(sep, 1);
  // Up to, not including, the file's own name.
  for (; end != std::string::npos; end = native.find(sep, end + 1)) {
    std::string folder = base + native.substr(0, end);
    if (inside_.count(folder)) continue;
    if (!platform::PathExists(folder)) return Status::Ok();
    Result<std::string> resolved = platform::ResolvedPath(folder);
    if (!resolved.ok()) continue;  // not a folder: the placement will fail
    bool inside = false;
    for (const std::string& root : resolvedRoots_) inside = inside || IsInside(*resolved, root);
    if (!inside) return Status::Error(folder + " leads outside the application and Windows folders, to " + *resolved);
    inside_.insert(std::move(folder));
  }
  return Status::Ok();
}

Status CheckFoldersStayInside(const std::string& base, std::string_view rest, const std::vector<std::string>& roots) {
  return FolderConfinement(roots).Check(base, rest);
}

}  // namespace vmrk
