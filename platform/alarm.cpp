#include "platform/alarm.h"

#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>

#include "platform/thread_annotations.h"

namespace vmrk::platform {
namespace {

// A thread that sleeps until the time or the alarm's end, whichever comes
// first, and wakes the event thread: the same road the worker's results
// take, so no toolkit timer is needed and the tests see one lock.
class ThreadAlarm : public Alarm {
 public:
  ThreadAlarm(int ms, std::function<void()> onFire, const MakeEventThreadWaker& makeWaker)
      : onFire_(std::move(onFire)), waker_(makeWaker([this] { Fire(); })), thread_([this, ms] { Wait(ms); }) {}

  ~ThreadAlarm() override {
    {
      MutexLock lock(mutex_);
      ending_ = true;
    }
    ended_.notify_all();
    thread_.join();
    waker_.reset();  // no Fire after this
  }

 private:
  void Wait(int ms) {
    {
      MutexLock lock(mutex_);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      ended_.wait_until(mutex_, until, [this]() REQUIRES(mutex_) { return ending_; });
      if (ending_) return;
      due_ = true;
    }
    waker_->Wake();
  }

  // On the event thread.
  void Fire() {
    {
      MutexLock lock(mutex_);
      if (!due_ || ending_) return;
      due_ = false;
    }
    onFire_();
  }

  std::function<void()> onFire_;  // the event thread's alone
  Mutex mutex_;
  std::condition_variable_any ended_;
  bool due_ GUARDED_BY(mutex_) = false;
  bool ending_ GUARDED_BY(mutex_) = false;
  std::unique_ptr<EventThreadWaker> waker_;
  std::thread thread_;  // last: it starts once everything above is made
};

}  // namespace

std::unique_ptr<Alarm> NewAlarm(int ms, std::function<void()> onFire, const MakeEventThreadWaker& makeWaker) {
  return std::make_unique<ThreadAlarm>(ms, std::move(onFire), makeWaker);
}

}  // namespace vmrk::platform
