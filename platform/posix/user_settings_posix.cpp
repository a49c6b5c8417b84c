#include <cstdlib>
#include <memory>
#include <string>

#include "platform/ini_settings_store.h"

namespace vmrk::platform {

std::string UserConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/.config";
}

std::unique_ptr<SettingsStore> OpenUserSettings() { return std::make_unique<IniSettingsStore>(UserConfigFolder()); }

}  // namespace vmrk::platform
