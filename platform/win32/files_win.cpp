#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <memory>
#include <string>

#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/temp_name.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

Status Failed(const std::string& what, const std::string& path) {
  return LastErrorStatus(what + " " + path);
}

DWORD Attributes(const std::string& path) {
  if (path.empty()) return INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesW(WidePath(path).c_str());
}

bool HiddenOrSystem(DWORD attributes) { return (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0; }

std::string FolderOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? "." : path.substr(0, cut);
}

std::string NameOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// A name beside path that no other run uses.
std::string TemporaryBeside(const std::string& path, TempKind kind) {
  return FolderOf(path) + "\\" + NextTempName(NameOf(path), kind);
}

bool Move(const std::string& from, const std::string& to) {
  return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

char PathSeparator() { return '\\'; }

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    buffer.resize(buffer.size() * 2);  // the path is longer than MAX_PATH
  }
}

std::string UpdaterProgramName() { return "vmrkxupdate.exe"; }
std::string SideFileName() { return "vmrkxupdate.exe.new"; }
std::string PlayerProgramName() { return "vmrPlayer.exe"; }

std::string ApplicationPath() {
  std::string exe = ExecutablePath();
  size_t cut = exe.find_last_of('\\');
  if (cut == std::string::npos) return ".";
  // "C:\" keeps its backslash: "C:" alone would mean the current folder of C:.
  return cut == 2 && exe[1] == ':' ? exe.substr(0, 3) : exe.substr(0, cut);
}

std::string WindowsFolder() {
  UINT n = GetWindowsDirectoryW(nullptr, 0);
  if (n == 0) return {};
  std::wstring buffer(n, L'\0');
  n = GetWindowsDirectoryW(buffer.data(), n);
  buffer.resize(n);
  std::string folder = Narrow(buffer);
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

bool PathExists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool IsVisibleFile(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0 && !HiddenOrSystem(a);
}

bool IsVisibleEntry(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !HiddenOrSystem(a);
}

Result<std::vector<FolderEntry>> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  std::string pattern = folder;
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(WidePath(pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return Failed("cannot list", folder);
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry entry;
    entry.name = Narrow(name);
    entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isFile = !entry.isFolder && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    entry.hidden = HiddenOrSystem(data.dwFileAttributes);
    entry.length = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    ULARGE_INTEGER t;
    t.LowPart = data.ftLastWriteTime.dwLowDateTime;
    t.HighPart = data.ftLastWriteTime.dwHighDateTime;
    entry.modifiedUnixSeconds = static_cast<std::int64_t>(t.QuadPart / 10000000ull) - 11644473600ll;
    entry.factsKnown = true;
    entries.push_back(std::move(entry));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return entries;
}

std::string ReleaseRoot() { return "e:\\vmrsoft\\"; }

std::string MaintainerKeyPath() {
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (appData == nullptr || appData[0] == L'\0') return {};
  return Narrow(appData) + "\\vmrkxupdate\\maintainer.key";
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

Status CreateFolder(const std::string& path) {
  if (!CreateDirectoryW(WidePath(path).c_str(), nullptr)) return Failed("cannot create folder", path);
  return Status::Ok();
}

Status RemoveFile(const std::string& path) {
  if (!DeleteFileW(WidePath(path).c_str())) return Failed("cannot delete", path);
  return Status::Ok();
}

Status RemoveFilesIn(const std::string& folder) {
  Result<std::vector<FolderEntry>> entries = ListFolder(folder);
  if (!entries.ok()) return entries.status();
  Status first;
  for (const FolderEntry& entry : *entries) {
    if (entry.isFolder) continue;
    std::string path = folder + "\\" + entry.name;
    SetFileAttributesW(WidePath(path).c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only leftover too
    Status removed = RemoveFile(path);
    if (!removed.ok() && first.ok()) first = removed;
  }
  return first;
}

Status ReadWholeFile(const std::string& path, std::string* bytes) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot open", path);
  bytes->clear();
  LARGE_INTEGER length{};
  if (GetFileSizeEx(file, &length) && length.QuadPart > 0) bytes->reserve(static_cast<size_t>(length.QuadPart));
  char chunk[65536];
  DWORD n = 0;
  BOOL ok;
  while ((ok = ReadFile(file, chunk, sizeof chunk, &n, nullptr)) && n > 0) bytes->append(chunk, n);
  CloseHandle(file);
  if (!ok) return Failed("cannot read", path);
  return Status::Ok();
}

Status ReadFileInPieces(const std::string& path, const std::function<void(std::string_view)>& visit) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot open", path);
  LARGE_INTEGER length{};
  const size_t size = ReadPieceSize(GetFileSizeEx(file, &length) ? length.QuadPart : 0);
  std::unique_ptr<char[]> chunk(new char[size]);  // not cleared: ReadFile fills what is used
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk.get(), static_cast<DWORD>(size), &got, nullptr)) {
      Status failed = Failed("cannot read", path);
      CloseHandle(file);
      return failed;
    }
    if (got == 0) break;
    visit(std::string_view(chunk.get(), got));
  }
  CloseHandle(file);
  return Status::Ok();
}

// Owner-only through the folder's inherited permissions: a key kept in the
// maintainer's own profile is readable by that user alone.
Status CreateOwnerOnlyFile(const std::string& path, std::string_view bytes) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot create", path);
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!ok) {
    Status failed = Failed("cannot write", path);
    DeleteFileW(WidePath(path).c_str());
    return failed;
  }
  return Status::Ok();
}

Status WriteFileAtomically(const std::string& path, std::string_view bytes) {
  std::string temp = TemporaryBeside(path, TempKind::kAtomicWrite);
  HANDLE file = CreateFileW(WidePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot create a temporary file for", path);
  DWORD written = 0;
  BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ok = ok && written == bytes.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!ok || !Move(temp, path)) {
    Status failed = Failed("cannot write", path);
    DeleteFileW(WidePath(temp).c_str());
    return failed;
  }
  return Status::Ok();
}

Status AppendToFile(const std::string& path, std::string_view bytes) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot open", path);
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  Status status = ok ? Status::Ok() : Failed("cannot write", path);
  CloseHandle(file);
  return status;
}

Status RenameReplacing(const std::string& from, const std::string& to) {
  return Move(from, to) ? Status::Ok() : Failed("cannot rename", from);
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_WRITE_THROUGH)) return Status::Ok();
  return Failed("cannot rename", from);
}

Status PlaceFile(const std::string& source, const std::string& placed, const std::string& /*permissionsOf*/) {
  // Windows files carry no permission bits of their own to keep. A move
  // keeps the last-write time, and so does CopyFile across volumes.
  if (MoveFileExW(WidePath(source).c_str(), WidePath(placed).c_str(), MOVEFILE_WRITE_THROUGH)) return Status::Ok();
  if (GetLastError() != ERROR_NOT_SAME_DEVICE) return Failed("cannot place", placed);
  if (!CopyFileW(WidePath(source).c_str(), WidePath(placed).c_str(), TRUE)) return Failed("cannot copy", source);
  SetFileAttributesW(WidePath(placed).c_str(), FILE_ATTRIBUTE_NORMAL);
  return Status::Ok();
}

Status CopyToNew(const std::string& source, const std::string& copy, const std::string& /*permissionsOf*/) {
  // CopyFile carries the last-write time over.
  if (!CopyFileW(WidePath(source).c_str(), WidePath(copy).c_str(), TRUE)) return Failed("cannot copy", source);
  SetFileAttributesW(WidePath(copy).c_str(), FILE_ATTRIBUTE_NORMAL);
  return Status::Ok();
}

Status LinkOrCopy(const std::string& source, const std::string& copy) {
  // FAT volumes and other volumes than the source's have no hard links.
  if (CreateHardLinkW(WidePath(copy).c_str(), WidePath(source).c_str(), nullptr)) return Status::Ok();
  return CopyToNew(source, copy, source);
}

Status FlushToDisk(const std::vector<std::string>& files) {
  // Windows has no flush of a whole volume that a user may call: the bytes
  // of each file named are flushed, and the renames before need nothing
  // more, since every move here is written through (MOVEFILE_WRITE_THROUGH).
  for (const std::string& path : files) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failed("cannot look at", path);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (Status flushed = FlushFolder(path); !flushed.ok()) return flushed;
      continue;
    }
    HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      // Held by another program that lets no one write (a loaded library
      // set aside): none of its bytes are ours to flush, and its move was
      // written through.
      if (GetLastError() == ERROR_SHARING_VIOLATION) continue;
      return Failed("cannot flush", path);
    }
    const bool flushed = FlushFileBuffers(file);
    CloseHandle(file);
    if (!flushed) return Failed("cannot flush", path);
  }
  return Status::Ok();
}

Status AppendDurably(const std::string& path, std::string_view bytes) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot open", path);
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(file);
  Status status = ok ? Status::Ok() : Failed("cannot write", path);
  CloseHandle(file);
  return status;
}

Status WriteNewFile(const std::string& path, std::string_view bytes) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed("cannot create", path);
  DWORD written = 0;
  bool ok = (bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) &&
            written == bytes.size() && FlushFileBuffers(file);
  Status status = ok ? Status::Ok() : Failed("cannot write", path);
  CloseHandle(file);
  if (!ok) DeleteFileW(WidePath(path).c_str());
  return status;
}

Status FlushFolder(const std::string& folder) {
  // NTFS writes changes of names to its log in the order they are made, and
  // a move made with MOVEFILE_WRITE_THROUGH has that log on disk up to it;
  // a folder flushed as well is a second measure where the system allows it.
  HANDLE handle = CreateFileW(WidePath(folder).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Status::Ok();
  FlushFileBuffers(handle);
  CloseHandle(handle);
  return Status::Ok();
}

Status RemoveEmptyFolder(const std::string& path) {
  return RemoveDirectoryW(WidePath(path).c_str()) ? Status::Ok() : Failed("cannot remove the folder", path);
}

Result<std::uint64_t> FreeSpace(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(WidePath(path).c_str(), &available, nullptr, nullptr))
    return Failed("cannot ask for the free space of", path);
  return static_cast<std::uint64_t>(available.QuadPart);
}

Result<std::string> VolumeOf(const std::string& path) {
  wchar_t name[MAX_PATH + 1];
  if (!GetVolumePathNameW(WidePath(path).c_str(), name, MAX_PATH + 1)) return Failed("cannot look at", path);
  std::wstring text(name);
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return Narrow(text);
}

Status StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
  std::wstring command = Widen(WindowsCommandLine(program, arguments));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMINIMIZED;  // a registration runs minimized
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(Widen(program).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return Failed("cannot start", program);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return Status::Ok();
}

}  // namespace vmrk::platform

namespace vmrk::platform {
std::uint64_t CurrentProcessId() { return GetCurrentProcessId(); }
}  // namespace vmrk::platform
