// Runs the platform's event loop until a condition holds or time runs out.
#pragma once

#include <functional>

namespace vmrk::test {

// True when the condition came true within timeoutMs.
bool PumpUntil(const std::function<bool()>& condition, int timeoutMs);
// Runs the loop for a while regardless (to see that nothing more happens).
void PumpFor(int ms);

}  // namespace vmrk::test
