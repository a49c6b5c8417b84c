#include "platform/win32/utf16_win.h"

#include <windows.h>

namespace vmrk::platform {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::wstring WidePath(std::string_view utf8Path) {
  // 248 is CreateDirectoryW's own limit (MAX_PATH less room for an 8.3 name).
  constexpr size_t kShortEnough = 240;
  std::wstring path = Widen(utf8Path);
  if (path.size() < kShortEnough) return path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;  // relative: the system resolves it, within MAX_PATH
}

std::wstring WithoutLongPrefix(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string LastErrorText() {
  DWORD code = GetLastError();
  wchar_t* buffer = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? Narrow(buffer) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

Status LastErrorStatus(const std::string& what) {
  const DWORD code = GetLastError();
  Status::Kind kind = Status::Kind::kIo;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: kind = Status::Kind::kNotFound; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: kind = Status::Kind::kRefused; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: kind = Status::Kind::kNoRoom; break;
    default: break;
  }
  SetLastError(code);  // LastErrorText reads it again
  return Status::Error(kind, what + ": " + LastErrorText());
}

}  // namespace vmrk::platform
