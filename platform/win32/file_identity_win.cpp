#include <windows.h>

#include "platform/file_identity.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

// Opens for attribute queries only: sharing everything, so a file in use (the
// running updater itself) can still be asked who it is; folders need backup
// semantics to be opened at all.
HANDLE OpenForQuery(const std::string& path) {
  return CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  if (path.empty()) return false;
  HANDLE file = OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileInformationByHandle(file, info);
  CloseHandle(file);
  return ok != 0;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  if (!Identity(a, &x) || !Identity(b, &y)) return false;
  return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

bool IsFolder(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Result<std::string> ResolvedPath(const std::string& path) {
  HANDLE file = OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return LastErrorStatus("cannot open " + path);
  std::wstring buffer(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  }
  CloseHandle(file);
  if (n == 0 || n >= buffer.size()) return LastErrorStatus("cannot resolve " + path);
  buffer.resize(n);
  // "\\?\C:\x" and "\\?\UNC\server\share" back to the forms the rest of the
  // updater spells.
  if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) buffer = L"\\\\" + buffer.substr(8);
  else if (buffer.rfind(L"\\\\?\\", 0) == 0) buffer = buffer.substr(4);
  while (buffer.size() > 3 && buffer.back() == L'\\') buffer.pop_back();
  return Narrow(buffer);
}

}  // namespace vmrk::platform
