#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace vmrk::platform {
namespace {

struct DecodeCase {
  const char* name;
  friend void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }
  int codePage;
  std::string bytes;
  std::string utf8;
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, GivesUtf8) {
  std::string out;
  ASSERT_TRUE(DecodeCodePage(GetParam().codePage, GetParam().bytes, &out));
  EXPECT_EQ(out, GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeTest,
    testing::Values(DecodeCase{"gbk", 936, "\xC4\xE3\xBA\xC3", "你好"},
                    DecodeCase{"gbkMixed", 936, "app\\\xC6\xA4\xB7\xF4.dat", "app\\皮肤.dat"},
                    DecodeCase{"gbkEuroAt80", 936, "\x80", "€"},
                    DecodeCase{"big5", 950, "\xA7\x41\xA6\x6E", "你好"},
                    DecodeCase{"shiftJis", 932, "\x82\xA0", "あ"},
                    DecodeCase{"cp1252", 1252, "caf\xE9 \x80", "café €"},
                    DecodeCase{"cp1251", 1251, "\xCF\xF0\xE8", "При"},
                    DecodeCase{"truncatedPairReplaced", 936, "a\xC4", "a\xEF\xBF\xBD"},
                    DecodeCase{"empty", 936, "", ""}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(CodePage, ABadByteNeverBecomesAQuestionMark) {
  // "?" is the list's separator. What the bad byte becomes is the system's
  // choice (U+FFFD, or a private-use character on Windows), never "?".
  std::string out;
  ASSERT_TRUE(DecodeCodePage(936, "a\xFF" "b", &out));
  EXPECT_EQ(out.front(), 'a');
  EXPECT_EQ(out.back(), 'b');
  EXPECT_GT(out.size(), 2u);
  EXPECT_EQ(out.find('?'), std::string::npos);
  ASSERT_TRUE(DecodeCodePage(936, "\xC4" "?" "\xC4", &out));
  EXPECT_EQ(out.find("??"), std::string::npos);
}

TEST(CodePage, UnknownCodePageIsRefused) {
  std::string out;
  EXPECT_FALSE(DecodeCodePage(12345, "x", &out));
  EXPECT_FALSE(EncodeCodePage(12345, "x", &out));
}

TEST(CodePage, EncodesGbkAndRefusesWhatItCannotHold) {
  std::string out;
  ASSERT_TRUE(EncodeCodePage(936, "你好 a", &out));
  EXPECT_EQ(out, "\xC4\xE3\xBA\xC3 a");
  // An emoji has no GBK form (GB18030 would write four bytes for it).
  EXPECT_FALSE(EncodeCodePage(936, "a\xF0\x9F\x98\x80", &out));
}

}  // namespace
}  // namespace vmrk::platform
