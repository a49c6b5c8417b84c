#include <windows.h>

#include <memory>

#include "platform/single_instance.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

// A named mutex in the session's namespace: the kernel drops it with the last
// handle, so a crashed updater never blocks the next one.
class MutexInstanceLock : public InstanceLock {
 public:
  explicit MutexInstanceLock(std::wstring name) : name_(std::move(name)) {}
  ~MutexInstanceLock() override {
    if (mutex_ != nullptr) CloseHandle(mutex_);
  }
  bool AnotherInstanceRunning() override {
    if (mutex_ != nullptr) return false;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name_.c_str());
    if (mutex == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // held by another user's elevated copy
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(mutex);
      return true;
    }
    mutex_ = mutex;
    return false;
  }

 private:
  std::wstring name_;
  HANDLE mutex_ = nullptr;
};

}  // namespace

std::unique_ptr<InstanceLock> CreateInstanceLock(const std::string& name) {
  return std::make_unique<MutexInstanceLock>(L"Local\\" + Widen(name) + L"-single-instance");
}

}  // namespace vmrk::platform
