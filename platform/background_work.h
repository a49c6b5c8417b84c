// Disk and CPU work away from the thread that delivers the transfers' events
// and paints the window: hashing installed files, decoding what arrived, the
// installation itself. Each piece's result comes back on that thread.
#pragma once

#include <functional>
#include <memory>

namespace vmrk::platform {

class BackgroundWork {
 public:
  virtual ~BackgroundWork() = default;
  // Called on the event thread, as every call here is. Runs `work` away from
  // it, then `done` on it. Pieces run one at a time, in the order asked, and
  // their `done`s come back in that order.
  virtual void Run(std::function<void()> work, std::function<void()> done) = 0;
  // Drops the pieces not begun and waits for the one that runs: after it,
  // nothing of the worker touches the disk until more is asked, and no
  // `done` of a piece asked before it ever runs.
  virtual void Stop() = 0;
};

// Makes the thread that made it call onWake, through that thread's event
// loop (Qt's on Linux, the Win32 message loop on Windows). Wake may be
// called from any thread; wakes that come close together may be answered
// by one call. None after the waker is destroyed (on its own thread).
class EventThreadWaker {
 public:
  virtual ~EventThreadWaker() = default;
  virtual void Wake() = 0;
};
std::unique_ptr<EventThreadWaker> NewEventThreadWaker(std::function<void()> onWake);

using MakeEventThreadWaker = std::function<std::unique_ptr<EventThreadWaker>(std::function<void()>)>;

// One worker thread, made on the event thread, which it wakes (through a
// waker it makes with makeWaker) to run the `done`s. Its destructor stops it
// as Stop does; no `done` runs after it.
std::unique_ptr<BackgroundWork> NewWorkerThread(MakeEventThreadWaker makeWaker = NewEventThreadWaker);

// Runs each piece and its `done` at once, on the calling thread: for runs
// with no event loop to come back to, and for tests that replay a run step
// by step.
std::unique_ptr<BackgroundWork> NewInlineWork();

}  // namespace vmrk::platform
