// The user's own proxy for an address, found the way browsers find it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace vmrk {

struct ProxyChoice {
  enum Kind { kSystem, kDirect, kNamed } kind = kSystem;
  std::wstring proxy, bypass;  // kNamed: WinHTTP's list forms
  // Names the WinHTTP session that carries requests with this choice.
  std::wstring Key() const { return std::to_wstring(kind) + L"|" + proxy + L"|" + bypass; }
};

// From the current user's Internet Options: auto-detection (only where the
// system session does not detect by itself), then an auto-config script (a
// proxy for this very address, or direct), else the named proxy with its
// bypass list, else kSystem: the session's own choice (the automatic access
// type where the system has it, else the machine's WinHTTP setting). Blocks
// while a script is fetched or a proxy detected: call it off the window's
// thread. systemSession serves the lookups.
ProxyChoice UserProxyFor(HINTERNET systemSession, bool systemDetects, const std::wstring& url);

}  // namespace vmrk
