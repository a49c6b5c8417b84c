#include "downloader/win32/user_proxy.h"

namespace vmrk {
namespace {

const wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct UserProxy {
  bool autoDetect = false;
  std::wstring script, proxy, bypass;  // empty: none
};

std::wstring TakeGlobal(LPWSTR text) {
  std::wstring copy = text != nullptr ? text : L"";
  GlobalFree(text);
  return copy;
}

std::wstring ReadText(HKEY key, const wchar_t* name) {
  wchar_t text[2048];
  DWORD bytes = sizeof text - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return {};
  text[bytes / sizeof(wchar_t)] = L'\0';
  return text;
}

UserProxy ReadUserProxy() {
  UserProxy user;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
    user.autoDetect = config.fAutoDetect != FALSE;
    user.script = TakeGlobal(config.lpszAutoConfigUrl);
    user.proxy = TakeGlobal(config.lpszProxy);
    user.bypass = TakeGlobal(config.lpszProxyBypass);
  }
  // Internet Options also writes its choice as plain values beside its
  // binary record, and some systems' WinHTTP (Wine's) reads only the record.
  // The values fill in what the record did not say.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return user;
  if (user.proxy.empty()) {
    DWORD enabled = 0, bytes = sizeof enabled, type = 0;
    if (RegQueryValueExW(key, L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && enabled != 0) {
      user.proxy = ReadText(key, L"ProxyServer");
      user.bypass = ReadText(key, L"ProxyOverride");
    }
  }
  if (user.script.empty()) user.script = ReadText(key, L"AutoConfigURL");
  RegCloseKey(key);
  return user;
}

// One way of finding the proxy for the address: detection or a script.
// Asked one at a time, since some WinHTTPs (Wine's) refuse both in one call.
bool FindProxy(HINTERNET session, const std::wstring& url, bool detect, const std::wstring& script,
               ProxyChoice& choice) {
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (detect) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO found{};
  if (session == nullptr || !WinHttpGetProxyForUrl(session, url.c_str(), &options, &found)) return false;
  if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found.lpszProxy != nullptr) {
    choice.kind = ProxyChoice::kNamed;
    choice.proxy = found.lpszProxy;
    choice.bypass = found.lpszProxyBypass != nullptr ? found.lpszProxyBypass : L"";
  } else {
    choice.kind = ProxyChoice::kDirect;  // the script said DIRECT
  }
  GlobalFree(found.lpszProxy);
  GlobalFree(found.lpszProxyBypass);
  return true;
}

}  // namespace

ProxyChoice UserProxyFor(HINTERNET systemSession, bool systemDetects, const std::wstring& url) {
  UserProxy user = ReadUserProxy();
  ProxyChoice choice;
  // Detection first, then the script, as browsers do; nothing detected and
  // a script that cannot be fetched fall through to the named proxy.
  // Detection asks the network (DHCP, then DNS for "wpad"), which can take
  // seconds where nothing answers; a system that detects by itself keeps
  // its own answer and cache.
  if (user.autoDetect && !systemDetects && FindProxy(systemSession, url, true, {}, choice)) return choice;
  if (!user.script.empty() && FindProxy(systemSession, url, false, user.script, choice)) return choice;
  if (!user.proxy.empty()) {
    choice.kind = ProxyChoice::kNamed;
    choice.proxy = user.proxy;
    choice.bypass = user.bypass;
  }
  return choice;
}

}  // namespace vmrk
