// Per-user settings addressed by application, section and key, the way the
// player's family of programs shares them. POSIX: an INI file per application
// in the user's configuration folder; Windows: the registry.
#pragma once

#include <memory>
#include <string>

#include "platform/status.h"

namespace vmrk::platform {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Gives fallback when the value is missing or cannot be read.
  virtual std::string Read(const std::string& application, const std::string& section,
                           const std::string& key, const std::string& fallback) = 0;
  virtual Status Write(const std::string& application, const std::string& section,
                       const std::string& key, const std::string& value) = 0;
};

// The user's own store.
std::unique_ptr<SettingsStore> OpenUserSettings();

}  // namespace vmrk::platform
