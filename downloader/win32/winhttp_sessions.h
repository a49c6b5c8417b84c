// The WinHTTP sessions of one downloader, one per proxy choice, so that
// connections are kept alive across transfers that go the same way. Shared
// with the transfers' workers: a worker abandoned in a blocked call keeps
// its session open until it returns, and the last owner closes them all.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <mutex>
#include <string>

#include "downloader/win32/user_proxy.h"
#include "platform/thread_annotations.h"

namespace vmrk {

class WinHttpSessions {
 public:
  WinHttpSessions();
  ~WinHttpSessions();
  WinHttpSessions(const WinHttpSessions&) = delete;
  WinHttpSessions& operator=(const WinHttpSessions&) = delete;

  // The session with the system's own proxy choice; nullptr if WinHTTP
  // could not open one.
  HINTERNET System() const { return system_; }
  // The session for the choice, opened when first asked for; nullptr on failure.
  HINTERNET For(const ProxyChoice& choice);
  // The user's proxy choice for an origin ("scheme://host:port"), found
  // once: detection and scripts can take seconds, and every file of an
  // update comes from the same server.
  ProxyChoice ChoiceFor(const std::wstring& origin, const std::wstring& url);

 private:
  HINTERNET system_ = nullptr;
  bool systemDetects_ = false;  // opened with the automatic access type
  Mutex mutex_;
  std::map<std::wstring, HINTERNET> others_ GUARDED_BY(mutex_);
  std::map<std::wstring, ProxyChoice> choices_ GUARDED_BY(mutex_);
};

}  // namespace vmrk
