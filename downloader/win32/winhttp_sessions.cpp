#include "downloader/win32/winhttp_sessions.h"

namespace vmrk {
namespace {

const wchar_t kUserAgent[] = L"vmrkxupdate/1.0 (online updater)";

// TLS 1.2 and 1.3 named explicitly: Windows 7 offers only TLS 1.0 unless
// asked. A system that does not know 1.3 refuses the pair; 1.2 alone then.
void EnableModernTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
}

HINTERNET Open(DWORD access, const wchar_t* proxy, const wchar_t* bypass) {
  HINTERNET session = WinHttpOpen(kUserAgent, access, proxy, bypass, 0);
  if (session != nullptr) EnableModernTls(session);
  return session;
}

}  // namespace

WinHttpSessions::WinHttpSessions() {
  // Automatic detection and the user's configuration from Windows 8.1 on;
  // before it, the machine's WinHTTP setting.
  system_ = Open(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS);
  systemDetects_ = system_ != nullptr;
  if (system_ == nullptr)
    system_ = Open(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS);
}

WinHttpSessions::~WinHttpSessions() {
  for (auto& [key, session] : others_)
    if (session != nullptr) WinHttpCloseHandle(session);
  if (system_ != nullptr) WinHttpCloseHandle(system_);
}

HINTERNET WinHttpSessions::For(const ProxyChoice& choice) {
  if (choice.kind == ProxyChoice::kSystem) return system_;
  MutexLock lock(mutex_);
  HINTERNET& session = others_[choice.Key()];
  if (session == nullptr) {
    session = choice.kind == ProxyChoice::kDirect
                  ? Open(WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS)
                  : Open(WINHTTP_ACCESS_TYPE_NAMED_PROXY, choice.proxy.c_str(),
                         choice.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : choice.bypass.c_str());
  }
  return session;
}

ProxyChoice WinHttpSessions::ChoiceFor(const std::wstring& origin, const std::wstring& url) {
  {
    MutexLock lock(mutex_);
    if (auto known = choices_.find(origin); known != choices_.end()) return known->second;
  }
  ProxyChoice choice = UserProxyFor(system_, systemDetects_, url);  // not under the lock: it may block
  MutexLock lock(mutex_);
  return choices_.emplace(origin, choice).first->second;
}

}  // namespace vmrk
