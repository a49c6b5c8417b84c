#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>
#include <utility>

#include "platform/background_work.h"
#include "platform/thread_annotations.h"

namespace vmrk::platform {
namespace {

// What the posted `done`s consult before they run. Read and written on the
// event thread only: by Stop and the destructor, and by the posted calls.
struct EventThreadState {
  bool alive = true;
  std::uint64_t epoch = 0;  // grows with each Stop
};

class WorkerThread : public BackgroundWork {
 public:
  explicit WorkerThread(PostToEventThread post) : post_(std::move(post)), thread_([this] { Loop(); }) {}

  ~WorkerThread() override {
    Stop();
    {
      MutexLock lock(mutex_);
      ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
    state_->alive = false;
  }

  void Run(std::function<void()> work, std::function<void()> done) override {
    {
      MutexLock lock(mutex_);
      queue_.push_back({std::move(work), std::move(done), state_->epoch});
    }
    wake_.notify_all();
  }

  void Stop() override {
    ++state_->epoch;
    MutexLock lock(mutex_);
    queue_.clear();
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
      // Posted before the worker counts as idle: a Stop that returns has
      // seen it, and its epoch check drops it.
      post_([state = state_, epoch = piece.epoch, done = std::move(piece.done)] {
        if (state->alive && state->epoch == epoch && done) done();
      });
      {
        MutexLock lock(mutex_);
        running_ = false;
      }
      idle_.notify_all();
    }
  }

  const PostToEventThread post_;
  const std::shared_ptr<EventThreadState> state_ = std::make_shared<EventThreadState>();
  Mutex mutex_;
  std::condition_variable_any wake_, idle_;
  std::deque<Piece> queue_ GUARDED_BY(mutex_);
  bool running_ GUARDED_BY(mutex_) = false;
  bool ending_ GUARDED_BY(mutex_) = false;
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

std::unique_ptr<BackgroundWork> NewWorkerThread(PostToEventThread post) {
  return std::make_unique<WorkerThread>(std::move(post));
}

std::unique_ptr<BackgroundWork> NewInlineWork() { return std::make_unique<InlineWork>(); }

}  // namespace vmrk::platform
