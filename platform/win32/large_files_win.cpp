#include <windows.h>

#include <limits>

#include "platform/large_files.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

Status MapFailure(const std::string& what, const std::string& path) { return LastErrorStatus(what + " " + path); }

}  // namespace

struct MappedFile::State {
  HANDLE mapping = nullptr;
  const void* view = nullptr;
  size_t length = 0;
  ~State() {
    if (view) UnmapViewOfFile(view);
    if (mapping) CloseHandle(mapping);
  }
};

MappedFile::MappedFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
MappedFile::MappedFile(MappedFile&&) noexcept = default;
MappedFile& MappedFile::operator=(MappedFile&&) noexcept = default;
MappedFile::~MappedFile() = default;

std::string_view MappedFile::bytes() const {
  return state_->view ? std::string_view(static_cast<const char*>(state_->view), state_->length) : std::string_view();
}

Result<MappedFile> MappedFile::Open(const std::string& path) {
  // Shared as the file reads elsewhere share it: a program the system has
  // loaded from it still lets it be read.
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return MapFailure("cannot open", path);
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(file, &length)) {
    Status failed = MapFailure("cannot read", path);
    CloseHandle(file);
    return failed;
  }
  auto state = std::make_unique<State>();
  if (static_cast<std::uint64_t>(length.QuadPart) > std::numeric_limits<size_t>::max() / 2) {
    CloseHandle(file);
    return Status::Error(Status::Kind::kNoRoom, path + " is too large to map");
  }
  state->length = static_cast<size_t>(length.QuadPart);
  if (state->length > 0) {  // an empty file has no mapping
    state->mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (state->mapping) state->view = MapViewOfFile(state->mapping, FILE_MAP_READ, 0, 0, 0);
    if (!state->view) {
      Status failed = MapFailure("cannot map", path);
      CloseHandle(file);
      return failed;
    }
  }
  CloseHandle(file);  // the mapping keeps the file
  return MappedFile(std::move(state));
}

struct MappedOutput::State {
  HANDLE mapping = nullptr;
  void* view = nullptr;
  size_t length = 0;
  size_t released = 0;
  ~State() {
    if (view) UnmapViewOfFile(view);
    if (mapping) CloseHandle(mapping);
  }
};

MappedOutput::MappedOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}
MappedOutput::MappedOutput(MappedOutput&&) noexcept = default;
MappedOutput& MappedOutput::operator=(MappedOutput&&) noexcept = default;
MappedOutput::~MappedOutput() = default;
char* MappedOutput::data() { return static_cast<char*>(state_->view); }
std::uint64_t MappedOutput::length() const { return state_->length; }

Result<MappedOutput> MappedOutput::Create(const std::string& path, std::uint64_t length) {
  if (length == 0 || length > std::numeric_limits<size_t>::max() / 2)
    return Status::Error(Status::Kind::kNoRoom, path + ": no mapping of " + std::to_string(length) + " bytes");
  const std::wstring wide = WidePath(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return MapFailure("cannot create", path);
  auto state = std::make_unique<State>();
  state->length = static_cast<size_t>(length);
  // Sized first (not sparse, so NTFS takes its clusters now: a full disk is
  // this failure rather than an in-page error while writing).
  LARGE_INTEGER size{};
  size.QuadPart = static_cast<LONGLONG>(length);
  const bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  if (sized) state->mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (state->mapping) state->view = MapViewOfFile(state->mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (!state->view) {
    Status failed = MapFailure(sized ? "cannot map" : "no room for", path);
    state.reset();
    CloseHandle(file);
    DeleteFileW(wide.c_str());
    return failed;
  }
  CloseHandle(file);
  return MappedOutput(std::move(state));
}

void MappedOutput::Release(std::uint64_t upTo) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  const size_t end = static_cast<size_t>(upTo < state_->length ? upTo : state_->length) / page * page;
  if (end <= state_->released) return;
  // From the start every time: a decoder that reached back into released
  // pages has brought them in again. Unlocking pages that were never locked
  // takes them out of the working set (documented for VirtualUnlock); the
  // file keeps their bytes.
  VirtualUnlock(state_->view, end);
  state_->released = end;
}

struct OutputFile::State {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string path;
  ~State() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

Result<OutputFile> OutputFile::Create(const std::string& path) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return MapFailure("cannot create", path);
  auto state = std::make_unique<State>();
  state->file = file;
  state->path = path;
  return OutputFile(std::move(state));
}

Status OutputFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD piece = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(state_->file, bytes.data(), piece, &written, nullptr) || written == 0)
      return MapFailure("cannot write", state_->path);
    bytes.remove_prefix(written);
  }
  return Status::Ok();
}

Status OutputFile::Close() {
  HANDLE file = state_->file;
  state_->file = INVALID_HANDLE_VALUE;
  if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) return MapFailure("cannot write", state_->path);
  return Status::Ok();
}

}  // namespace vmrk::platform
