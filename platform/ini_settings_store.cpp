#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/ini_settings_store.h"
#include "platform/ini_text.h"

namespace vmrk::platform {

IniSettingsStore::IniSettingsStore(std::string folder) : folder_(std::move(folder)) {}

std::string IniSettingsStore::FileFor(const std::string& application) const {
  return folder_ + PathSeparator() + application + ".ini";
}

std::string IniSettingsStore::Read(const std::string& application, const std::string& section,
                                   const std::string& key, const std::string& fallback) {
  std::string document;
  if (!ReadWholeFile(FileFor(application), &document).ok()) return fallback;
  return IniLookup(document, section, key).value_or(fallback);
}

Status IniSettingsStore::Write(const std::string& application, const std::string& section,
                               const std::string& key, const std::string& value) {
  std::string path = FileFor(application);
  std::string document;
  if (PathExists(path)) {
    Status read = ReadWholeFile(path, &document);
    // Never replace a file we could not read: its other values would be lost.
    if (!read.ok()) return read;
  } else if (!PathExists(folder_)) {
    // ~/.config may not exist yet on a fresh account.
    Status made = CreateFolder(folder_);
    if (!made.ok()) return made;
  }
  return WriteFileAtomically(path, IniAssign(document, section, key, value));
}

}  // namespace vmrk::platform
