// "Is another updater running?" answered by a lock that this process holds for
// its whole life. The first process to ask wins; every later one, racing or
// not, is told "yes" until the holder has ended.
#pragma once

#include <memory>
#include <string>

namespace vmrk::platform {

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
  // Takes the lock when it is free and keeps it. True only when another
  // process holds it: a lock that cannot be set up at all (no writable
  // folder) must not keep the updater from running.
  virtual bool AnotherInstanceRunning() = 0;
};

// Lock named after the program, shared by all processes of the current user.
std::unique_ptr<InstanceLock> CreateInstanceLock(const std::string& name);

}  // namespace vmrk::platform
