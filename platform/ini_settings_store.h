// Settings kept as one INI file per application, "<folder>/<application>.ini".
// Two processes share the file (the single-instance hand-shake), so every
// write replaces it whole through a rename.
#pragma once

#include <string>

#include "platform/settings_store.h"

namespace vmrk::platform {

class IniSettingsStore : public SettingsStore {
 public:
  explicit IniSettingsStore(std::string folder);
  std::string Read(const std::string& application, const std::string& section, const std::string& key,
                   const std::string& fallback) override;
  Status Write(const std::string& application, const std::string& section, const std::string& key,
               const std::string& value) override;

 private:
  std::string FileFor(const std::string& application) const;
  std::string folder_;
};

// $XDG_CONFIG_HOME, else ~/.config (POSIX only: Windows keeps its settings in
// the registry).
std::string UserConfigFolder();

}  // namespace vmrk::platform
