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
  Result<std::string> text = LoadDocumentText(dir.Sub("myip.txt"));
  ASSERT_TRUE(text.ok()) << text.status().message();
  EXPECT_EQ(*text, "seip:127.0.0.1");
  // The file's reading and the rich text's each say what kind of failure.
  EXPECT_EQ(LoadDocumentText(dir.Sub("none.txt")).status().kind(), Status::Kind::kNotFound);
  dir.Write("cut.txt", "{\\rtf1 seip:127.0.0.1\\par");
  EXPECT_EQ(LoadDocumentText(dir.Sub("cut.txt")).status().kind(), Status::Kind::kInvalid);
}

}  // namespace
}  // namespace vmrk
