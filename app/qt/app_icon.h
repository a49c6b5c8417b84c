// The updater's icon, drawn by the program itself at 16, 32 and 48 pixels.
#pragma once

#include <QIcon>

namespace vmrk {
QIcon UpdaterIcon();
}
