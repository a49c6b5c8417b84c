// The user's proxy, set the usual per-user way (the Internet Options values
// in HKCU), carries the updater's requests; its bypass list and a disabled
// proxy send them direct. The tests' server doubles as the proxy and logs
// what reached it as one ("PROXY-GET").
#include <windows.h>

#include <gtest/gtest.h>

#include "downloader/win32/winhttp_downloader.h"
#include "tests/support/event_pump.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

const wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct ProxyCase {
  const char* name;
  friend void PrintTo(const ProxyCase& c, std::ostream* os) { *os << c.name; }
  DWORD enable;
  bool namedProxy;        // ProxyServer = the tests' server
  const wchar_t* bypass;  // ProxyOverride, or nullptr
  const char* script;     // AutoConfigURL below the server, or nullptr
  bool viaProxy;
};

class UserProxyTest : public testing::TestWithParam<ProxyCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                              nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    for (const wchar_t* value : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"})
      RegDeleteValueW(key_, value);
    RegCloseKey(key_);
  }
  void SetText(const wchar_t* value, const std::wstring& text) {
    RegSetValueExW(key_, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  HKEY key_ = nullptr;
};

struct Ends : DownloaderEvents {
  int finished = 0, failed = 0;
  void DL_Finished(std::int32_t) override { ++finished; }
  void DL_Failed(std::int32_t, std::int32_t) override { ++failed; }
  void DL_Progress(float, std::int32_t, std::int32_t) override {}
};

TEST_P(UserProxyTest, RequestsGoThroughTheUsersProxyUnlessItIsOffOrBypassed) {
  test::TempDir root, save;
  root.Write("vmrkxupdate/list.txt", "the list");
  test::LoopbackServer server(root.path());
  // The proxy by name, the server by address: a client may rightly go
  // direct to a server that is its proxy itself.
  std::wstring self = L"localhost:" + std::to_wstring(server.port());
  const ProxyCase& c = GetParam();
  RegSetValueExW(key_, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&c.enable), sizeof c.enable);
  if (c.namedProxy) SetText(L"ProxyServer", self);
  if (c.bypass != nullptr) SetText(L"ProxyOverride", c.bypass);
  if (c.script != nullptr) {
    root.Write("proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY localhost:" +
                                std::to_string(server.port()) + "\"; }\n");
    std::string script = server.Url(c.script);
    SetText(L"AutoConfigURL", std::wstring(script.begin(), script.end()));
  }

  WinHttpDownloader downloader;
  Ends ends;
  downloader.SetEvents(&ends);
  downloader.SetSaveFolder(save.Native());
  downloader.SetSourceURL(server.Url("/vmrkxupdate/list.txt"));
  downloader.BeginDownload();
  ASSERT_TRUE(test::PumpUntil([&] { return ends.finished + ends.failed > 0; }, 15000));
  EXPECT_EQ(ends.finished, 1);
  EXPECT_EQ(save.Read("list.txt"), "the list");
  int proxied = 0, direct = 0;
  for (const test::LoggedRequest& r : server.Requests()) {
    if (r.path != "/vmrkxupdate/list.txt") continue;
    (r.method == "PROXY-GET" ? proxied : direct)++;
  }
  EXPECT_EQ(proxied, c.viaProxy ? 1 : 0);
  EXPECT_EQ(direct, c.viaProxy ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UserProxyTest,
    testing::Values(ProxyCase{"namedProxy", 1, true, nullptr, nullptr, true},
                    ProxyCase{"namedProxyWithOtherBypasses", 1, true, L"*.example.com;<local>", nullptr, true},
                    ProxyCase{"bypassedAddress", 1, true, L"127.0.0.1", nullptr, false},
                    ProxyCase{"proxySwitchedOff", 0, true, nullptr, nullptr, false},
                    ProxyCase{"autoConfigScript", 0, false, nullptr, "/proxy.pac", true},
                    ProxyCase{"missingScriptFallsBackToTheNamedProxy", 1, true, nullptr, "/no-such.pac", true}),
    [](const testing::TestParamInfo<ProxyCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vmrk
