#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace vmrk::platform {
namespace {

Status Errno(const std::string& what, const std::string& path) {
  return Status::Error(what + " " + path + ": " + std::strerror(errno));
}

// A leading dot is how POSIX hides a name; there is no "system" attribute.
bool IsHiddenName(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

}  // namespace

char PathSeparator() { return '/'; }

std::string ApplicationPath() {
  std::string buffer(4096, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return ".";
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string::size_type slash = buffer.find_last_of('/');
  if (slash == std::string::npos) return ".";
  // The root folder is "/" itself; every other folder loses its separator.
  return slash == 0 ? std::string("/") : buffer.substr(0, slash);
}

std::string WindowsFolder() {
  const char* configured = std::getenv("WINDIR");
  std::string folder = configured != nullptr && configured[0] != '\0' ? configured : ApplicationPath() + "/windows";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool IsVisibleFile(const std::string& path) {
  struct stat st;
  if (path.empty() || IsHiddenName(path) || stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode);
}

bool IsVisibleEntry(const std::string& path) {
  struct stat st;
  if (path.empty() || IsHiddenName(path) || stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

Status CreateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0) return Errno("cannot create folder", path);
  return Status::Ok();
}

Status RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) return Errno("cannot delete", path);
  return Status::Ok();
}

Status RemoveFilesIn(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return Errno("cannot list", folder);
  Status first;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    if (unlink(path.c_str()) != 0 && first.ok()) first = Errno("cannot delete", path);
  }
  closedir(dir);
  return first;
}

Status ReadWholeFile(const std::string& path, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Errno("cannot open", path);
  bytes->clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      Status failed = Errno("cannot read", path);
      close(fd);
      return failed;
    }
    if (n == 0) break;
    bytes->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return Errno("cannot create a temporary file for", path);
  // Keep the permissions of the file being replaced; mkstemp makes it 0600.
  struct stat old;
  fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Status failed = Errno("cannot write", temp);
      close(fd);
      unlink(temp.c_str());
      return failed;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    Status failed = Errno("cannot write", temp);
    unlink(temp.c_str());
    return failed;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    Status failed = Errno("cannot replace", path);
    unlink(temp.c_str());
    return failed;
  }
  return Status::Ok();
}

}  // namespace vmrk::platform
