// The X11 side of the desktop: the active window and its title. Without a
// display (DISPLAY unset, or the server unreachable) there is no window.
#pragma once

#include <string>

#include "platform/desktop.h"

namespace vmrk::platform {

WindowHandle X11ForegroundWindow();
std::string X11WindowTitle(WindowHandle window);

}  // namespace vmrk::platform
