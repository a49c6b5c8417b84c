#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/file_identity.h"

namespace vmrk::platform {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  if (a.empty() || b.empty() || stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0) return false;
  return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::string> ResolvedPath(const std::string& path) {
  char* full = realpath(path.c_str(), nullptr);
  if (full == nullptr) return Status::Error("cannot resolve " + path + ": " + std::strerror(errno));
  std::string resolved = full;
  std::free(full);
  return resolved;
}

}  // namespace vmrk::platform
