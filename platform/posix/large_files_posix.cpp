#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/large_files.h"

namespace vmrk::platform {
namespace {

Status ErrnoFailure(const std::string& what, const std::string& path, int error) {
  const Status::Kind kind = error == ENOENT                    ? Status::Kind::kNotFound
                            : error == EACCES || error == EPERM ? Status::Kind::kRefused
                            : error == ENOSPC || error == EDQUOT || error == ENOMEM ? Status::Kind::kNoRoom
                                                                                     : Status::Kind::kIo;
  return Status::Error(kind, what + " " + path + ": " + std::strerror(error));
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

struct MappedFile::State {
  void* view = nullptr;
  size_t length = 0;
  ~State() {
    if (view) munmap(view, length);
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
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoFailure("cannot open", path, errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return ErrnoFailure("cannot read", path, error);
  }
  auto state = std::make_unique<State>();
  if (static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<size_t>::max() / 2) {
    close(fd);
    return Status::Error(Status::Kind::kNoRoom, path + " is too large to map");
  }
  state->length = static_cast<size_t>(st.st_size);
  if (state->length > 0) {
    void* view = mmap(nullptr, state->length, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
      const int error = errno;
      close(fd);
      return ErrnoFailure("cannot map", path, error);
    }
    state->view = view;
    // Read front to back, once: the system may read ahead and drop behind.
    madvise(view, state->length, MADV_SEQUENTIAL);
  }
  close(fd);  // the mapping keeps the file
  return MappedFile(std::move(state));
}

struct MappedOutput::State {
  void* view = nullptr;
  size_t length = 0;
  size_t released = 0;
  ~State() {
    if (view) munmap(view, length);
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
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoFailure("cannot create", path, errno);
  auto fail = [&](const char* what, int error) {
    close(fd);
    unlink(path.c_str());
    return ErrnoFailure(what, path, error);
  };
  // A sparse file would take its blocks only as pages are written back, and
  // a full disk then is a SIGBUS rather than an error.
  if (const int error = posix_fallocate(fd, 0, static_cast<off_t>(length)); error != 0)
    return fail("no room for", error);
  auto state = std::make_unique<State>();
  state->length = static_cast<size_t>(length);
  void* view = mmap(nullptr, state->length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return fail("cannot map", errno);
  state->view = view;
  close(fd);
  return MappedOutput(std::move(state));
}

void MappedOutput::Release(std::uint64_t upTo) {
  // Whole pages only: the one being written stays.
  const size_t end = static_cast<size_t>(std::min<std::uint64_t>(upTo, state_->length)) / PageSize() * PageSize();
  if (end <= state_->released) return;
  // From the start every time: a decoder that reached back into released
  // pages has brought them in again. On a shared file mapping MADV_DONTNEED
  // drops the pages from this process only; dirty ones stay in the page
  // cache and reach the file as ever.
  madvise(state_->view, end, MADV_DONTNEED);
  state_->released = end;
}

struct OutputFile::State {
  int fd = -1;
  std::string path;
  ~State() {
    if (fd >= 0) close(fd);
  }
};

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

Result<OutputFile> OutputFile::Create(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoFailure("cannot create", path, errno);
  auto state = std::make_unique<State>();
  state->fd = fd;
  state->path = path;
  return OutputFile(std::move(state));
}

Status OutputFile::Write(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(state_->fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ErrnoFailure("cannot write", state_->path, n < 0 ? errno : ENOSPC);
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status OutputFile::Close() {
  const int fd = state_->fd;
  state_->fd = -1;
  if (fd >= 0 && close(fd) != 0) return ErrnoFailure("cannot write", state_->path, errno);
  return Status::Ok();
}

}  // namespace vmrk::platform
