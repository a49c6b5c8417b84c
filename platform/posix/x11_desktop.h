// The X11 side of the desktop: the active window and its title. Without a
// display (DISPLAY unset, or the server unreachable) there is no window.
#pragma once

#include <string>

#include "platform/desktop.h"

namespace vmrk::platform {

WindowHandle X11ForegroundWindow();
std::string X11WindowTitle(WindowHandle window);
// Asks the window to close: through the window manager (_NET_CLOSE_WINDOW)
// where it offers that, else with WM_DELETE_WINDOW to the window itself.
// Nothing happens for a window that is gone or takes neither.
void X11RequestClose(WindowHandle window);

}  // namespace vmrk::platform
