// Per-user settings in the registry at the classic place for application /
// section / key values: HKEY_CURRENT_USER\Software\VB and VBA Program
// Settings\<application>\<section>, which other programs of the product share.
#include <windows.h>

#include <memory>

#include "platform/settings_store.h"
#include "platform/win32/utf16_win.h"

namespace vmrk::platform {
namespace {

std::wstring KeyPath(const std::string& application, const std::string& section) {
  return L"Software\\VB and VBA Program Settings\\" + Widen(application) + L"\\" + Widen(section);
}

class RegistrySettingsStore : public SettingsStore {
 public:
  std::string Read(const std::string& application, const std::string& section, const std::string& key,
                   const std::string& fallback) override {
    std::wstring path = KeyPath(application, section), name = Widen(key);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
      return fallback;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS)
      return fallback;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return Narrow(value);
  }

  Status Write(const std::string& application, const std::string& section, const std::string& key,
               const std::string& value) override {
    std::wstring path = KeyPath(application, section), name = Widen(key), data = Widen(value);
    LSTATUS rc = RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), name.c_str(), REG_SZ, data.c_str(),
                                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) return Status::Error("cannot write the setting " + key + ": error " + std::to_string(rc));
    return Status::Ok();
  }
};

}  // namespace

std::unique_ptr<SettingsStore> OpenUserSettings() { return std::make_unique<RegistrySettingsStore>(); }

}  // namespace vmrk::platform
