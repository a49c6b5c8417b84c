#include <windows.h>

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

constexpr std::int64_t kUnixEpochIn100ns = 116444736000000000ll;

std::int64_t ToUnix(const FILETIME& ft) {
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return (static_cast<std::int64_t>(t.QuadPart) - kUnixEpochIn100ns) / 10000000;
}

FILETIME FromUnix(std::int64_t seconds) {
  ULARGE_INTEGER t;
  t.QuadPart = static_cast<ULONGLONG>(seconds * 10000000 + kUnixEpochIn100ns);
  FILETIME ft;
  ft.dwLowDateTime = t.LowPart;
  ft.dwHighDateTime = t.HighPart;
  return ft;
}

Status Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, data))
    return LastErrorStatus("cannot read the attributes of " + path);
  return Status::Ok();
}

}  // namespace

std::optional<std::int64_t> LocalToUnixSeconds(const CivilTime& local) {
  SYSTEMTIME l{};
  l.wYear = static_cast<WORD>(local.year);
  l.wMonth = static_cast<WORD>(local.month);
  l.wDay = static_cast<WORD>(local.day);
  l.wHour = static_cast<WORD>(local.hour);
  l.wMinute = static_cast<WORD>(local.minute);
  l.wSecond = static_cast<WORD>(local.second);
  SYSTEMTIME utc;
  FILETIME ft;
  // The zone's rules for that very date, summer time included.
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &l, &utc) || !SystemTimeToFileTime(&utc, &ft)) return std::nullopt;
  return ToUnix(ft);
}

CivilTime UnixSecondsToLocal(std::int64_t seconds) {
  FILETIME ft = FromUnix(seconds);
  SYSTEMTIME utc, local;
  FileTimeToSystemTime(&ft, &utc);
  SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

Result<std::uint64_t> FileLength(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  Status read = Attributes(path, &data);
  if (!read.ok()) return read;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Status::Error(path + " is not a file");
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Result<std::int64_t> FileModifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  Status read = Attributes(path, &data);
  if (!read.ok()) return read;
  return ToUnix(data.ftLastWriteTime);
}

Result<FileFacts> QueryFile(const std::string& path) {
  FileFacts facts;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
        error == ERROR_BAD_NETPATH || error == ERROR_NOT_READY)
      return facts;
    return LastErrorStatus("cannot read the attributes of " + path);
  }
  facts.visibleFile = (data.dwFileAttributes &
                       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
  facts.length = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  facts.modifiedUnixSeconds = ToUnix(data.ftLastWriteTime);
  return facts;
}

Status SetFileModifiedTime(const std::string& path, std::int64_t unixSeconds) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorStatus("cannot open " + path);
  FILETIME ft = FromUnix(unixSeconds);
  BOOL ok = SetFileTime(file, nullptr, nullptr, &ft);  // creation and access times stay
  Status status = ok ? Status::Ok() : LastErrorStatus("cannot set the time of " + path);
  CloseHandle(file);
  return status;
}

}  // namespace vmrk::platform
