// Holds the updater's single-instance lock until its standard input closes,
// so a test can play "the updater that is already running".
#include <cstdio>
#include <unistd.h>

#include "platform/single_instance.h"

int main() {
  auto lock = vmrk::platform::CreateInstanceLock("vmrkxupdate");
  bool busy = lock->AnotherInstanceRunning();
  std::puts(busy ? "busy" : "held");
  std::fflush(stdout);
  char c;
  while (read(STDIN_FILENO, &c, 1) > 0) {
  }
  return busy ? 1 : 0;
}
