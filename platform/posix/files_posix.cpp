#include <dirent.h>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/files.h"
#include "platform/temp_name.h"

namespace vmrk::platform {
namespace {

Status::Kind KindOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return Status::Kind::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY: return Status::Kind::kRefused;
    case ENOSPC:
    case EDQUOT: return Status::Kind::kNoRoom;
    default: return Status::Kind::kIo;
  }
}

Status Errno(const std::string& what, const std::string& path) {
  const int error = errno;
  return Status::Error(KindOfErrno(error), what + " " + path + ": " + std::strerror(error));
}

// A leading dot is how POSIX hides a name; there is no "system" attribute.
bool IsHiddenName(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

// Every byte, through short writes and interruptions; false with errno set.
bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

char PathSeparator() { return '/'; }

std::string ExecutablePath() {
  std::string buffer(4096, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string UpdaterProgramName() { return "vmrkxupdate"; }
std::string SideFileName() { return "vmrkxupdate.new"; }
std::string PlayerProgramName() { return "vmrPlayer"; }

std::string ApplicationPath() {
  std::string buffer = ExecutablePath();
  if (buffer.empty()) return ".";
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

Result<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return Errno("cannot list", folder);
  int dirFd = dirfd(dir);
  while (dirent* d = readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry entry;
    entry.name = name;
    entry.hidden = name[0] == '.';
    struct stat st;
    // Follows links, as the file system's own listing would show their targets.
    if (fstatat(dirFd, d->d_name, &st, 0) == 0) {
      entry.isFolder = S_ISDIR(st.st_mode);
      entry.isFile = S_ISREG(st.st_mode);
      entry.length = static_cast<std::uint64_t>(st.st_size);
      entry.modifiedUnixSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
      entry.factsKnown = true;
    } else {
      entry.isFile = d->d_type == DT_REG || d->d_type == DT_LNK;
    }
    entries.push_back(std::move(entry));
  }
  closedir(dir);
  return entries;
}

std::string ReleaseRoot() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/vmrsoft/";
}

std::string MaintainerKeyPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string folder = config != nullptr && config[0] == '/' ? config : std::string(home != nullptr ? home : "") + "/.config";
  return folder + "/vmrkxupdate/maintainer.key";
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

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

Status ReadFileInPieces(const std::string& path, const std::function<void(std::string_view)>& visit) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Errno("cannot open", path);
  struct stat st;
  const size_t size = ReadPieceSize(fstat(fd, &st) == 0 ? st.st_size : 0);
  std::unique_ptr<char[]> chunk(new char[size]);  // not cleared: read fills what is used
  for (;;) {
    ssize_t n = read(fd, chunk.get(), size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Status failed = Errno("cannot read", path);
      close(fd);
      return failed;
    }
    if (n == 0) break;
    visit(std::string_view(chunk.get(), static_cast<size_t>(n)));
  }
  close(fd);
  return Status::Ok();
}

Status CreateOwnerOnlyFile(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Errno("cannot create", path);
  if (!WriteAll(fd, bytes)) {
    Status failed = Errno("cannot write", path);
    close(fd);
    unlink(path.c_str());
    return failed;
  }
  if (fsync(fd) != 0 || close(fd) != 0) return Errno("cannot write", path);
  return Status::Ok();
}

Status ReadWholeFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Errno("cannot open", path);
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0) bytes->reserve(static_cast<size_t>(st.st_size) + 1);
  // Straight into the string; a file that grows while it is read is read on.
  char tail[4096];
  for (;;) {
    const size_t room = bytes->capacity() - bytes->size();
    ssize_t n;
    if (room > sizeof tail) {
      const size_t at = bytes->size();
      bytes->resize(bytes->capacity());
      n = read(fd, bytes->data() + at, room);
      bytes->resize(at + static_cast<size_t>(n > 0 ? n : 0));
    } else {
      n = read(fd, tail, sizeof tail);
      if (n > 0) bytes->append(tail, static_cast<size_t>(n));
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      Status failed = Errno("cannot read", path);
      close(fd);
      bytes->clear();
      return failed;
    }
    if (n == 0) break;
  }
  close(fd);
  return Status::Ok();
}

namespace {

// source copied to a new file at temp (O_EXCL), permission bits of
// permissionsOf when it exists, source's time, flushed. Removes temp on
// failure.
Status CopyToNewFile(const std::string& source, const std::string& temp, const std::string& permissionsOf) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Errno("cannot open", source);
  struct stat sourceStat;
  if (fstat(in, &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode)) {
    close(in);
    return Status::Error(source + " is not a file");
  }
  // Created with 0666 rather than through mkstemp, so that a new file gets
  // the user's umask like any other.
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    Status failed = Errno("cannot create", temp);
    close(in);
    return failed;
  }
  auto fail = [&](Status status) {
    close(in);
    if (out >= 0) close(out);
    unlink(temp.c_str());
    return status;
  };
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Errno("cannot read", source));
    if (n == 0) break;
    if (!WriteAll(out, std::string_view(chunk, static_cast<size_t>(n)))) return fail(Errno("cannot write", temp));
  }
  // The list carries no permissions: a replaced program must stay executable.
  struct stat old;
  if (stat(permissionsOf.c_str(), &old) == 0 && fchmod(out, old.st_mode & 07777) != 0)
    return fail(Errno("cannot set the permissions of", temp));
  struct timespec times[2] = {{0, UTIME_OMIT}, sourceStat.st_mtim};
  if (futimens(out, times) != 0) return fail(Errno("cannot set the time of", temp));
  int closed = close(out);
  out = -1;
  if (closed != 0) return fail(Errno("cannot write", temp));
  close(in);
  return Status::Ok();
}

}  // namespace

Status CopyToNew(const std::string& source, const std::string& copy, const std::string& permissionsOf) {
  return CopyToNewFile(source, copy, permissionsOf);
}

Status PlaceFile(const std::string& source, const std::string& placed, const std::string& permissionsOf) {
  struct stat old;
  const bool keepMode = stat(permissionsOf.c_str(), &old) == 0;
  // link then unlink rather than rename: never over a file already there.
  if (link(source.c_str(), placed.c_str()) == 0) {
    if (keepMode && chmod(placed.c_str(), old.st_mode & 07777) != 0) {
      Status failed = Errno("cannot set the permissions of", placed);
      unlink(placed.c_str());
      return failed;
    }
    unlink(source.c_str());
    return Status::Ok();
  }
  if (errno != EXDEV && errno != EPERM && errno != EMLINK) return Errno("cannot place", placed);
  return CopyToNewFile(source, placed, permissionsOf);
}

Status LinkOrCopy(const std::string& source, const std::string& copy) {
  if (link(source.c_str(), copy.c_str()) == 0) return Status::Ok();
  if (errno != EXDEV && errno != EPERM && errno != EMLINK) return Errno("cannot link", copy);
  return CopyToNewFile(source, copy, source);
}

Status FlushToDisk(const std::vector<std::string>& files) {
  // syncfs once per volume: what a thousand fsyncs would do, in one call.
  std::set<dev_t> done;
  for (const std::string& file : files) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return Errno("cannot look at", file);
    if (!done.insert(st.st_dev).second) continue;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Errno("cannot open", file);
    int synced = syncfs(fd);
    Status status = synced == 0 ? Status::Ok() : Errno("cannot flush", file);
    close(fd);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

Status AppendDurably(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Errno("cannot open", path);
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  Status status = ok ? Status::Ok() : Errno("cannot write", path);
  if (close(fd) != 0 && status.ok()) status = Errno("cannot write", path);
  return status;
}

Status WriteNewFile(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Errno("cannot create", path);
  if (!WriteAll(fd, bytes) || fsync(fd) != 0) {
    Status failed = Errno("cannot write", path);
    close(fd);
    unlink(path.c_str());
    return failed;
  }
  if (close(fd) != 0) {
    Status failed = Errno("cannot write", path);
    unlink(path.c_str());
    return failed;
  }
  return Status::Ok();
}

Status FlushFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Errno("cannot open the folder", folder);
  Status status = fsync(fd) == 0 ? Status::Ok() : Errno("cannot flush the folder", folder);
  close(fd);
  return status;
}

Status RemoveEmptyFolder(const std::string& path) {
  return rmdir(path.c_str()) == 0 ? Status::Ok() : Errno("cannot remove the folder", path);
}

Result<std::uint64_t> FreeSpace(const std::string& path) {
  struct statvfs fs;
  if (statvfs(path.c_str(), &fs) != 0) return Errno("cannot ask for the free space of", path);
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

Result<std::string> VolumeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Errno("cannot look at", path);
  return std::to_string(static_cast<unsigned long long>(st.st_dev));
}

Status StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Exec failures come back through the pipe; on success it closes unread.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return Errno("cannot start", program);
  pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return Errno("cannot start", program);
  }
  if (child == 0) {
    // The grandchild is adopted by init, so nobody has to wait for it.
    setsid();
    if (fork() != 0) _exit(0);
    execvp(program.c_str(), argv.data());
    int error = errno;
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  int status = 0;
  waitpid(child, &status, 0);
  int error = 0;
  ssize_t n;
  do n = read(report[0], &error, sizeof error);
  while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    errno = error;
    return Errno("cannot start", program);
  }
  return Status::Ok();
}

Status AppendToFile(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Errno("cannot open", path);
  if (!WriteAll(fd, bytes)) {
    Status failed = Errno("cannot write", path);
    close(fd);
    return failed;
  }
  return close(fd) == 0 ? Status::Ok() : Errno("cannot write", path);
}

Status RenameReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? Status::Ok() : Errno("cannot rename", from);
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Status::Ok();
  if (errno != EINVAL && errno != ENOSYS) return Errno("cannot rename", from);
  // A file system without RENAME_NOREPLACE: a second name, which fails where
  // one is there, then the first one goes.
  if (link(from.c_str(), to.c_str()) != 0) return Errno("cannot rename", from);
  if (unlink(from.c_str()) != 0) {
    Status failed = Errno("cannot rename", from);
    unlink(to.c_str());
    return failed;
  }
  return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view bytes) {
  // A name the start-up sweep knows: an interrupted write leaves nothing for ever.
  std::string temp = NextTempPathBeside(path, TempKind::kAtomicWrite);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Errno("cannot create a temporary file for", path);
  // Keep the permissions of the file being replaced.
  struct stat old;
  fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
  if (!WriteAll(fd, bytes)) {
    Status failed = Errno("cannot write", temp);
    close(fd);
    unlink(temp.c_str());
    return failed;
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

namespace vmrk::platform {
std::uint64_t CurrentProcessId() { return static_cast<std::uint64_t>(getpid()); }
}  // namespace vmrk::platform
