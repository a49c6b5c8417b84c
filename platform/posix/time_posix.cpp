#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/civil_time.h"
#include "platform/file_time.h"

namespace vmrk::platform {

std::optional<std::int64_t> LocalToUnixSeconds(const CivilTime& local) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;  // let the zone's rules for that date decide
  errno = 0;
  std::time_t t = mktime(&tm);
  if (t == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

CivilTime UnixSecondsToLocal(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

Result<std::uint64_t> FileLength(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Status::Error("cannot stat " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Status::Error(path + " is not a file");
  return static_cast<std::uint64_t>(st.st_size);
}

Result<FileFacts> QueryFile(const std::string& path) {
  FileFacts facts;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return facts;
    return Status::Error("cannot stat " + path + ": " + std::strerror(errno));
  }
  std::string::size_type slash = path.find_last_of('/');
  bool hidden = path.size() > slash + 1 && path[slash + 1] == '.';
  facts.visibleFile = S_ISREG(st.st_mode) && !hidden;
  facts.length = static_cast<std::uint64_t>(st.st_size);
  facts.modifiedUnixSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  return facts;
}

Result<std::int64_t> FileModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Status::Error("cannot stat " + path + ": " + std::strerror(errno));
  return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

Status SetFileModifiedTime(const std::string& path, std::int64_t unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    return Status::Error("cannot set the time of " + path + ": " + std::strerror(errno));
  return Status::Ok();
}

}  // namespace vmrk::platform
