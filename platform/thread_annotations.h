// Who owns what across threads, said in code: a member GUARDED_BY(m) is read
// and written only with m held; a function REQUIRES(m) is called with it
// held. Clang checks these (-Wthread-safety, scripts/check-thread-safety.sh,
// run by the test command, for the Windows sources too); other compilers read
// them as the contract they are.
//
// The standard library's std::mutex carries no capability of its own in
// libstdc++, so a GUARDED_BY naming one is never checked: Mutex and
// MutexLock below are std::mutex and std::lock_guard with the annotations.
#pragma once

#include <mutex>

#if defined(__clang__)
#define VMRK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VMRK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VMRK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VMRK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VMRK_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VMRK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VMRK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VMRK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VMRK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace vmrk {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // The standard's names, for std::condition_variable_any, which lets go of
  // the mutex while it waits and holds it again before it returns.
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds the mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace vmrk
