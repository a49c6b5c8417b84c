#include "updatelist/document_loader.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

struct PlainCase {
  const char* name;
  friend void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }
  std::string bytes;
  std::string text;
};

class PlainTextTest : public testing::TestWithParam<PlainCase> {};

TEST_P(PlainTextTest, DecodesPlainFiles) { EXPECT_EQ(PlainTextOf(GetParam().bytes), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, PlainTextTest,
    testing::Values(PlainCase{"ascii", "seip:10.0.0.1\r\n", "seip:10.0.0.1\r\n"},
                    PlainCase{"utf8", "服务器 seip:h", "服务器 seip:h"},
                    PlainCase{"bomStripped", "\xEF\xBB\xBFseip:h", "seip:h"},
                    PlainCase{"gbkWhenNotUtf8", "\xB7\xFE\xCE\xF1\xC6\xF7 seip:h", "服务器 seip:h"},
                    PlainCase{"empty", "", ""}),
    [](const testing::TestParamInfo<PlainCase>& info) { return std::string(info.param.name); });

TEST(LoadDocumentText, ReadsARealFileAndReportsAMissingOne) {
  test::TempDir dir;
  dir.Write("myip.txt", "\xEF\xBB\xBFseip:127.0.0.1");
  std::string text;
  ASSERT_TRUE(LoadDocumentText(dir.Sub("myip.txt"), &text).ok());
  EXPECT_EQ(text, "seip:127.0.0.1");
  EXPECT_FALSE(LoadDocumentText(dir.Sub("none.txt"), &text).ok());
}

}  // namespace
}  // namespace vmrk
