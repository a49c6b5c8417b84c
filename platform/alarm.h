// A single call on the event thread after a wait, through that thread's
// event loop: for a decision that must not wait for ever on an answer that
// may never come. Made and destroyed on the event thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/background_work.h"

namespace vmrk::platform {

class Alarm {
 public:
  virtual ~Alarm() = default;
};

// Calls onFire once, on the thread that made it, about `ms` milliseconds
// after it was made; never once the alarm is destroyed, which may be at any
// time but from inside onFire.
std::unique_ptr<Alarm> NewAlarm(int ms, std::function<void()> onFire,
                                const MakeEventThreadWaker& makeWaker = NewEventThreadWaker);
using MakeAlarm = std::function<std::unique_ptr<Alarm>(int ms, std::function<void()> onFire)>;

}  // namespace vmrk::platform
