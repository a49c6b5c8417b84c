#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>
#include <utility>

#include "platform/background_work.h"
#include "platform/thread_annotations.h"

namespace vmrk::platform {
namespace {

// The results travel in our own queue, under our own mutex, and the event
// loop is only woken to take them: what crosses threads is ordered by a lock
// the sanitizers and the analysis both see, not by the toolkit's internals.
class WorkerThread : public BackgroundWork {
 public:
  explicit WorkerThread(const MakeEventThreadWaker& makeWaker)
      : waker_(makeWaker([this] { RunFinished(); })), thread_([this] { Loop(); }) {}

  ~WorkerThread() override {
    Stop();
    {
      MutexLock lock(mutex_);
      ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
    waker_.reset();  // no call after this one
  }

  void Run(std::function<void()> work, std::function<void()> done) override {
    {
      MutexLock lock(mutex_);
      queue_.push_back({std::move(work), std::move(done), epoch_});
    }
    wake_.notify_all();
  }

  void Stop() override {
    MutexLock lock(mutex_);
    ++epoch_;
    queue_.clear();
    finished_.clear();
    idle_.wait(mutex_, [this]() REQUIRES(mutex_) { return !running_; });
  }

 private:
  struct Piece {
    std::function<void()> work, done;
    std::uint64_t epoch = 0;
  };

  void Loop() {
    for (;;) {
      Piece piece;
      {
        MutexLock lock(mutex_);
        wake_.wait(mutex_, [this]() REQUIRES(mutex_) { return ending_ || !queue_.empty(); });
        if (ending_) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
        running_ = true;
      }
      piece.work();
      bool wake = false;
      {
        MutexLock lock(mutex_);
        running_ = false;
        // Asked before a Stop: dropped here, as Stop promised.
        if (piece.epoch == epoch_) {
          wake = finished_.empty();
          finished_.push_back(std::move(piece));
        }
      }
      idle_.notify_all();
      if (wake) waker_->Wake();
    }
  }

  // On the event thread: every `done` that has come, in order. One that
  // stops the worker (a cancel inside it) drops the rest.
  void RunFinished() {
    for (;;) {
      Piece piece;
      {
        MutexLock lock(mutex_);
        if (finished_.empty()) return;
        piece = std::move(finished_.front());
        finished_.pop_front();
        if (piece.epoch != epoch_) continue;
      }
      if (piece.done) piece.done();
    }
  }

  Mutex mutex_;
  std::condition_variable_any wake_, idle_;
  std::deque<Piece> queue_ GUARDED_BY(mutex_);
  std::deque<Piece> finished_ GUARDED_BY(mutex_);  // worked, their `done`s not yet run
  std::uint64_t epoch_ GUARDED_BY(mutex_) = 0;     // grows with each Stop
  bool running_ GUARDED_BY(mutex_) = false;
  bool ending_ GUARDED_BY(mutex_) = false;
  std::unique_ptr<EventThreadWaker> waker_;
  std::thread thread_;  // last: it starts once everything above is made
};

class InlineWork : public BackgroundWork {
 public:
  void Run(std::function<void()> work, std::function<void()> done) override {
    work();
    if (done) done();
  }
  void Stop() override {}
};

}  // namespace

std::unique_ptr<BackgroundWork> NewWorkerThread(MakeEventThreadWaker makeWaker) {
  return std::make_unique<WorkerThread>(makeWaker);
}

std::unique_ptr<BackgroundWork> NewInlineWork() { return std::make_unique<InlineWork>(); }

}  // namespace vmrk::platform
