#include "downloader/http_address.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

struct HttpAddressCase {
  const char* name;
  friend void PrintTo(const HttpAddressCase& c, std::ostream* os) { *os << c.name; }
  std::string address;
  bool usable;
  std::string host;
  int port;
  std::string target;
};

class HttpAddressTest : public testing::TestWithParam<HttpAddressCase> {};

TEST_P(HttpAddressTest, FormsTheRequest) {
  const HttpAddressCase& c = GetParam();
  std::optional<HttpAddress> parsed = ParseHttpAddress(c.address);
  ASSERT_EQ(parsed.has_value(), c.usable);
  if (!c.usable) return;
  EXPECT_EQ(parsed->host, c.host);
  EXPECT_EQ(parsed->port, c.port);
  EXPECT_EQ(parsed->target, c.target);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpAddressTest,
    testing::Values(
        HttpAddressCase{"list", "http://10.0.0.1/vmrkxupdate/list.txt", true, "10.0.0.1", 80, "/vmrkxupdate/list.txt"},
        HttpAddressCase{"port", "http://127.0.0.1:8080/vmrkxupdate/list.txt", true, "127.0.0.1", 8080,
                    "/vmrkxupdate/list.txt"},
        HttpAddressCase{"backslashesAreSlashes", "http://h/vmrkxupdate/app\\plugins\\a.dll", true, "h", 80,
                    "/vmrkxupdate/app/plugins/a.dll"},
        HttpAddressCase{"spaceEncoded", "http://h/vmrkxupdate/app\\my file.dll", true, "h", 80,
                    "/vmrkxupdate/app/my%20file.dll"},
        HttpAddressCase{"chineseAsUtf8", "http://h/vmrkxupdate/app\\皮肤.dat", true, "h", 80,
                    "/vmrkxupdate/app/%E7%9A%AE%E8%82%A4.dat"},
        HttpAddressCase{"percentAndHashAreFileNameCharacters", "http://h/a/50%#1.txt", true, "h", 80,
                    "/a/50%25%231.txt"},
        HttpAddressCase{"hostLowerCased", "HTTP://Update.Example/x", true, "update.example", 80, "/x"},
        HttpAddressCase{"noPath", "http://h", true, "h", 80, "/"},
        HttpAddressCase{"ipv6", "http://[::1]:81/x", true, "[::1]", 81, "/x"},
        HttpAddressCase{"emptyServer", "http:///vmrkxupdate/list.txt", false, "", 0, ""},
        HttpAddressCase{"emptyPort", "http://h:/x", false, "", 0, ""},
        HttpAddressCase{"portTooBig", "http://h:65536/x", false, "", 0, ""},
        HttpAddressCase{"portZero", "http://h:0/x", false, "", 0, ""},
        HttpAddressCase{"lineBreakInHost", "http://10.0.0.1\r\n/x", false, "", 0, ""},
        HttpAddressCase{"spaceInHost", "http://10.0 .1/x", false, "", 0, ""},
        HttpAddressCase{"credentials", "http://user@h/x", false, "", 0, ""},
        HttpAddressCase{"https", "https://update.example.com/vmrkxupdate/list.txt", true, "update.example.com", 443,
                    "/vmrkxupdate/list.txt"},
        HttpAddressCase{"httpsPort", "HTTPS://h:8443/x", true, "h", 8443, "/x"},
        HttpAddressCase{"otherScheme", "ftp://h/x", false, "", 0, ""},
        HttpAddressCase{"httpsWithoutSlashes", "https:h/x", false, "", 0, ""},
        HttpAddressCase{"empty", "", false, "", 0, ""}),
    [](const testing::TestParamInfo<HttpAddressCase>& info) { return std::string(info.param.name); });

TEST(HttpAddress, UrlLeavesTheDefaultPortOut) {
  EXPECT_EQ(ParseHttpAddress("http://h:80/a\\b")->Url(), "http://h/a/b");
  EXPECT_EQ(ParseHttpAddress("http://h:81/a")->Url(), "http://h:81/a");
  EXPECT_EQ(ParseHttpAddress("https://h:443/a")->Url(), "https://h/a");
  EXPECT_EQ(ParseHttpAddress("https://h:80/a")->Url(), "https://h:80/a");
  EXPECT_TRUE(ParseHttpAddress("https://h/a")->secure);
  EXPECT_FALSE(ParseHttpAddress("http://h/a")->secure);
}

TEST(SaveName, IsThePartBehindTheLastSlashOrBackslash) {
  EXPECT_EQ(SaveNameFromAddress("http://h/vmrkxupdate/list.txt"), "list.txt");
  EXPECT_EQ(SaveNameFromAddress("http://h/vmrkxupdate/app\\plugins\\a.dll"), "a.dll");
  EXPECT_EQ(SaveNameFromAddress("http://h/vmrkxupdate/app\\皮肤.dat"), "皮肤.dat");
  EXPECT_EQ(SaveNameFromAddress("http://h/vmrkxupdate/"), "");
  EXPECT_EQ(SaveNameFromAddress("http://h/vmrkxupdate/app\\.."), "");
  EXPECT_EQ(SaveNameFromAddress("http://h/x/."), "");
}

}  // namespace
}  // namespace vmrk
