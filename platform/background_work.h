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

// Brings a callable to the event thread, from any thread; it runs there
// later, once, unless the event loop ends first.
using PostToEventThread = std::function<void(std::function<void()>)>;

// Posts to the calling thread through its event loop: Qt's on Linux, the
// Win32 message loop on Windows (a message-only window of that thread).
PostToEventThread EventThreadPoster();

// One worker thread. Its destructor stops it as Stop does; no `done` runs
// after it.
std::unique_ptr<BackgroundWork> NewWorkerThread(PostToEventThread post);

// Runs each piece and its `done` at once, on the calling thread: for runs
// with no event loop to come back to, and for tests that replay a run step
// by step.
std::unique_ptr<BackgroundWork> NewInlineWork();

}  // namespace vmrk::platform
