#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/single_instance.h"

namespace vmrk::platform {
namespace {

std::string LockFolder() {
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run != nullptr && run[0] == '/') return run;
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/') return tmp;
  return "/tmp";
}

// flock is released by the kernel when the process ends, however it ends, so
// a crashed updater never blocks the next one. The descriptor is kept open
// (and out of child processes) for the life of this object.
class FlockInstanceLock : public InstanceLock {
 public:
  explicit FlockInstanceLock(std::string path) : path_(std::move(path)) {}
  ~FlockInstanceLock() override {
    if (fd_ >= 0) close(fd_);
  }
  bool AnotherInstanceRunning() override {
    if (fd_ >= 0) return false;
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    int rc;
    do rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      bool held = errno == EWOULDBLOCK;
      close(fd);
      return held;
    }
    fd_ = fd;
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<InstanceLock> CreateInstanceLock(const std::string& name) {
  // The user id keeps users of a shared /tmp apart.
  return std::make_unique<FlockInstanceLock>(LockFolder() + "/" + name + "-" + std::to_string(getuid()) +
                                             ".lock");
}

}  // namespace vmrk::platform
