#include "app/server_address.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

struct AddressCase {
  const char* name;
  friend void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }
  std::string text;
  std::string expected;
};

class ServerAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(ServerAddressTest, TakesTheFieldAfterTheFirstMarker) {
  EXPECT_EQ(ServerAddressFromText(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerAddressTest,
    testing::Values(
        AddressCase{"plain", "seip:10.0.0.1", "10.0.0.1"},
        AddressCase{"full15ThenBreak", "seip:192.168.100.200\r\nrest", "192.168.100.200"},
        AddressCase{"shortThenBreak", "seip:10.0.0.1\r\n#comment", "10.0.0.1"},
        AddressCase{"shortThenLfOnly", "seip:10.0.0.1\nx", "10.0.0.1"},
        AddressCase{"shortThenTab", "seip:10.0.0.1\tx", "10.0.0.1"},
        AddressCase{"spacesTrimmed", "seip:  10.0.0.1   \r\n", "10.0.0.1"},
        AddressCase{"hostAndPort", "seip:upd.example:81", "upd.example:81"},
        AddressCase{"cutAt15", "seip:1234567890123456789", "123456789012345"},
        AddressCase{"textBeforeIgnored", "server\r\nseip:10.1.2.3 ", "10.1.2.3"},
        AddressCase{"firstMarkerOnly", "seip:a.b seip:c.d", "a.b seip:c.d"},
        AddressCase{"noMarkerFrom5th", "abcd10.0.0.9   ", "10.0.0.9"},
        AddressCase{"capitalsNotFound", "SEIP:1.2.3.4", ":1.2.3.4"},
        AddressCase{"charactersNotBytes", "注释：seip:服务器一二三四五六七八九十甲乙丙丁", "服务器一二三四五六七八九十甲乙"},
        AddressCase{"markerAtEnd", "seip:", ""},
        AddressCase{"onlySpaces", "seip:      ", ""},
        AddressCase{"empty", "", ""},
        AddressCase{"shorterThanFive", "abc", ""}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

TEST(ServerBase, HttpsAddressesStandAsTheyAreAndAllOthersGetHttp) {
  struct Case {
    std::string text, base;
  } cases[] = {
      {"seip:https://update.example.com\r\n", "https://update.example.com/"},
      {"seip: https://update.example.com:8443/vmr/ \r\nnext line", "https://update.example.com:8443/vmr/"},
      {"seip:https://a-very-long-host-name.example.com", "https://a-very-long-host-name.example.com/"},
      {"seip:127.0.0.1:8080\r\n", "http://127.0.0.1:8080/"},
      {"seip:HTTPS://upper.example.com", "http://HTTPS://upper.e/"},  // only the exact prefix: the old field rule
      {"seip:www.example.com.cn.long", "http://www.example.com/"},
  };
  for (const Case& c : cases) EXPECT_EQ(ServerBaseFromText(c.text), c.base) << c.text;
}

// Further servers come from further lines that begin with the marker; the
// first stays what the one-server rule gives.
TEST(ServerBase, EveryMarkedLineIsAServerInOrderEachOnce) {
  struct Case {
    std::string text;
    std::vector<std::string> bases;
  } cases[] = {
      {"seip:127.0.0.1:8080\r\nseip:10.0.0.2:80\r\n", {"http://127.0.0.1:8080/", "http://10.0.0.2:80/"}},
      {"seip:https://a.example\nseip:https://b.example/vmr/\n", {"https://a.example/", "https://b.example/vmr/"}},
      {"seip:10.0.0.1\r\nseip:10.0.0.1\r\nseip:10.0.0.3\r\n", {"http://10.0.0.1/", "http://10.0.0.3/"}},
      {"seip:10.0.0.1\r\n seip:10.0.0.2\r\nnote seip:10.0.0.3", {"http://10.0.0.1/"}},
      {"abcd10.0.0.1\r\n", {"http://10.0.0.1/"}},  // no marker: the old field rule, one server
      {"abcd10.0.0.1\r\nseip:10.0.0.2\r\n", {"http://10.0.0.2/"}},  // the first marker anywhere, as ever
      {"seip:10.0.0.1\r\nseip:\r\n", {"http://10.0.0.1/"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ServerBasesFromText(c.text), c.bases) << c.text;
}

TEST(Channel, TheFirstChannelLineNamesItAndNoLineIsTheDefault) {
  const std::pair<const char*, const char*> cases[] = {
      {"seip:10.0.0.1\r\nchannel: beta \r\n", "beta"},
      {"channel:beta\nchannel:nightly\n", "beta"},
      {"seip:10.0.0.1\r\n", ""},
      {"seip:10.0.0.1\r\nchannel:\r\n", ""},
      {"seip:10.0.0.1 channel:beta\r\n", ""},  // only at a line's start
      {"channel: Beta Two\r\n", "Beta Two"},  // as it stands: the caller refuses it
  };
  for (const auto& [text, channel] : cases) EXPECT_EQ(ChannelFromText(text), channel) << text;
  // The server is read as ever beside it.
  EXPECT_EQ(ServerBasesFromText("seip:10.0.0.1\r\nchannel:beta\r\n"), std::vector<std::string>{"http://10.0.0.1/"});
}

}  // namespace
}  // namespace vmrk
