#include "updatelist/rtf_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "updatelist/rtf_writer.h"

namespace vmrk {
namespace {

std::string Read(std::string_view rtf) {
  Result<std::string> text = RtfToPlainText(rtf);
  EXPECT_TRUE(text.ok()) << text.status().message();
  return text.ok() ? *text : std::string();
}

// The header a Chinese rich-edit control writes.
const std::string kChineseHeader =
    "{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang1033\\deflangfe2052{\\fonttbl{\\f0\\fnil\\fprq2\\fcharset134 "
    "\\'cb\\'ce\\'cc\\'e5;}{\\f1\\fswiss\\fcharset0 Arial;}}\r\n"
    "{\\colortbl ;\\red255\\green0\\blue0;}\r\n"
    "{\\*\\generator Msftedit 5.41.21.2510;}\\viewkind4\\uc1\\pard\\lang2052\\f0\\fs18 ";

struct RtfCase {
  const char* name;
  std::string rtf;
  std::string text;
  friend void PrintTo(const RtfCase& c, std::ostream* os) { *os << c.name; }
};

class RtfReaderTest : public testing::TestWithParam<RtfCase> {};

TEST_P(RtfReaderTest, GivesThePlainTextARichEditControlGives) { EXPECT_EQ(Read(GetParam().rtf), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Samples, RtfReaderTest,
    testing::Values(
        RtfCase{"gbkPairsUnderCharset134",
                kChineseHeader + "app\\\\\\'c6\\'a4\\'b7\\'f4\\\\a.dat?12*2008-5-12 14:30:05\\par\r\n}\r\n",
                "app\\皮肤\\a.dat?12*2008-5-12 14:30:05"},
        RtfCase{"finalParAbsorbedOthersKept",
                kChineseHeader + "a?1*2008-5-12\\par\r\nb?2*2008-5-12\\par\r\n\\par\r\n}",
                "a?1*2008-5-12\r\nb?2*2008-5-12\r\n"},
        RtfCase{"unicodeWithQuestionMarkFallback",
                "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 app\\\\\\u30382?\\u21464?.dll?5*x\\par\\par}",
                "app\\皮变.dll?5*x\r\n"},
        RtfCase{"uc2WithGbkFallbackBytes",
                kChineseHeader + "\\uc2\\u30382\\'d6\\'b1x\\par\\par}", "皮x\r\n"},
        RtfCase{"ucScopedToItsGroup", "{\\rtf1{\\uc2\\u30382\\'d6\\'b1}\\u30382?y\\par\\par}", "皮皮y\r\n"},
        RtfCase{"negativeUnicode", "{\\rtf1\\u-255?\\par\\par}", "！\r\n"},
        RtfCase{"surrogatePairJoined", "{\\rtf1\\uc1\\u-10179?\\u-8704?\\par\\par}", "\xF0\x9F\x98\x80\r\n"},
        RtfCase{"loneSurrogateReplaced", "{\\rtf1\\u-10179?a\\par\\par}", "\xEF\xBF\xBD" "a\r\n"},
        RtfCase{"escapesAndSymbols", "{\\rtf1 a\\\\b\\{c\\}d\\~e\\tab f\\emdash\\par\\par}",
                "a\\b{c}d\xC2\xA0" "e\tf\xE2\x80\x94\r\n"},
        RtfCase{"sourceLineBreaksAreNotText", "{\\rtf1 ab\r\ncd\nef\\par\r\n\\par}", "abcdef\r\n"},
        RtfCase{"delimiterSpaceEatenOnce", "{\\rtf1\\b  x\\b0 y\\par\\par}", " xy\r\n"},
        RtfCase{"headerGroupsSkipped",
                "{\\rtf1{\\fonttbl{\\f0 Times;}}{\\colortbl;\\red0;}{\\stylesheet{\\s0 Normal;}}"
                "{\\info{\\title T}{\\author A}}{\\*\\unknowndest junk}{\\pict\\wmetafile8 0123abcd}body\\par\\par}",
                "body\r\n"},
        RtfCase{"fieldResultKeptInstructionDropped",
                "{\\rtf1{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt shown}}\\par\\par}", "shown\r\n"},
        RtfCase{"fontCharsetOverridesAnsiCpg",
                "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0\\fcharset0 Arial;}{\\f1\\fcharset134 SimSun;}}"
                "\\f0 caf\\'e9 \\f1\\'c4\\'e3\\par\\par}",
                "café 你\r\n"},
        RtfCase{"big5AndShiftJis",
                "{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset136 M;}{\\f1\\fcharset128 M;}}\\f0\\'a7\\'41\\f1\\'82\\'a0\\par\\par}",
                "你あ\r\n"},
        RtfCase{"cyrillicAndCentralEuropean",
                "{\\rtf1{\\fonttbl{\\f0\\fcharset204 A;}{\\f1\\fcharset238 B;}}\\f0\\'cf\\f1\\'b9\\par\\par}",
                "Пą\r\n"},
        RtfCase{"ansicpgWithoutFonts", "{\\rtf1\\ansi\\ansicpg936 \\'c4\\'e3\\par\\par}", "你\r\n"},
        RtfCase{"rawHighBytesInCodePage", "{\\rtf1\\ansi\\ansicpg936 \xC4\xE3\\par\\par}", "你\r\n"},
        RtfCase{"binSkipped", "{\\rtf1 a{\\*\\blob\\bin4 }}{\\}b\\par\\par}", "ab\r\n"},
        RtfCase{"binInText", "{\\rtf1 a\\bin3 x}yb\\par\\par}", "ab\r\n"},
        RtfCase{"noFinalParKeepsLastLine", "{\\rtf1 a\\par b}", "a\r\nb"},
        RtfCase{"emptyDocument", "{\\rtf1}", ""},
        RtfCase{"onlyAPar", "{\\rtf1\\par}", ""},
        RtfCase{"parThenFormattingStillAbsorbed", "{\\rtf1 a\\par\\pard\\f0 }", "a"},
        RtfCase{"textAfterClosingBraceIgnored", "{\\rtf1 a\\par\\par}junk", "a\r\n"},
        RtfCase{"extraClosingBraces", "{\\rtf1 a}}}}b", "a"},
        RtfCase{"hugeParameter", "{\\rtf1\\uc99999999999999999999 \\u99999999999999999999?x\\par\\par}",
                "\xEF\xBF\xBD"}),
    [](const testing::TestParamInfo<RtfCase>& info) { return std::string(info.param.name); });

TEST(RtfReader, DeepNestingFailsClearly) {
  std::string rtf = "{\\rtf1 " + std::string(100000, '{') + "x";
  EXPECT_EQ(RtfToPlainText(rtf).status().kind(), Status::Kind::kInvalid);
  // Nesting within the bound is read.
  EXPECT_EQ(Read("{\\rtf1 " + std::string(200, '{') + "x" + std::string(200, '}') + "}"), "x");
}

TEST(RtfReader, ADocumentCutShortIsRefused) {
  for (const char* cut : {"{\\rtf1 a{{{b\\par", "{\\rtf1 a\\'4", "{\\rtf1 a\\pa", "{\\rtf1 a\\", "{\\rtf1 a{}"}) {
    Result<std::string> text = RtfToPlainText(cut);
    EXPECT_FALSE(text.ok()) << cut;
    EXPECT_EQ(text.status().kind(), Status::Kind::kInvalid) << cut;
  }
  // A real list cut anywhere before its last brace: never a shorter list.
  const std::string rtf = PlainTextToRtf("app\\a.dll?1*2008-5-12\r\napp\\b.dll?1*2008-5-12\r\nwin\\c.dll?1*2008-5-12\r\n");
  for (size_t length = 0; length + 1 < rtf.size(); ++length)
    if (rtf.find('}', length) != std::string::npos && rtf.rfind('}') >= length)
      EXPECT_FALSE(RtfToPlainText(rtf.substr(0, length)).ok()) << length;
  EXPECT_TRUE(RtfToPlainText(rtf).ok());
}

TEST(RtfReader, BinaryJunkNeverCrashesOrHangs) {
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    std::string junk = "{\\rtf1";
    size_t length = random() % 2000;
    for (size_t i = 0; i < length; ++i) {
      // Biased towards RTF's own special characters.
      static const char kSpecial[] = "{}\\'*?u0123456789abcdefpar \r\n";
      junk += random() % 3 == 0 ? static_cast<char>(random() % 256) : kSpecial[random() % (sizeof kSpecial - 1)];
    }
    Result<std::string> text = RtfToPlainText(junk);
    if (text.ok()) EXPECT_LE(text->size(), junk.size() * 4);
  }
}

std::string RandomText(std::mt19937& random) {
  static const char* kPieces[] = {"app", "\\", "{", "}", "?", "*", "\r\n", " ", "\t", "皮肤", "直", "é", "€",
                                  "\xF0\x9F\x98\x80", "ǹ", "9", "a", "\\par", "{\\rtf1", "\xC2\xA0", "한", "ア", "\r", "\n"};
  std::string text;
  size_t pieces = random() % 40;
  for (size_t i = 0; i < pieces; ++i) text += kPieces[random() % (sizeof kPieces / sizeof *kPieces)];
  return text;
}

TEST(RtfRoundTrip, WriteThenReadGivesTheTextBack) {
  std::mt19937 random(42);
  std::vector<std::string> texts = {"", "\r\n", "\r\n\r\n", "a", "app\\a.exe?512*2008-05-12 14:30:05\r\n",
                                    "\\\\{}}{", "尾行没有换行"};
  for (int i = 0; i < 500; ++i) texts.push_back(RandomText(random));
  for (const std::string& text : texts) {
    std::string rtf = PlainTextToRtf(text);
    ASSERT_TRUE(LooksLikeRtf(rtf));
    EXPECT_EQ(Read(rtf), text) << rtf;
  }
}

TEST(RtfWriter, WritesWhatCodePageReadersUnderstand) {
  std::string rtf = PlainTextToRtf("app\\皮肤.dat?1*2008-05-12\r\n");
  EXPECT_NE(rtf.find("\\ansicpg936"), std::string::npos);
  EXPECT_NE(rtf.find("\\fcharset134"), std::string::npos);
  // GBK bytes of 皮 follow its \u as the fallback, counted by \uc2.
  EXPECT_NE(rtf.find("\\uc2 \\u30382\\'c6\\'a4"), std::string::npos) << rtf;
  // One more \par than the text has line ends.
  size_t pars = 0;
  for (size_t p = rtf.find("\\par\r\n"); p != std::string::npos; p = rtf.find("\\par\r\n", p + 1)) ++pars;
  EXPECT_EQ(pars, 2u);
  // What GBK lacks falls back to "_", never to a separator.
  std::string emoji = PlainTextToRtf("\xF0\x9F\x98\x80");
  EXPECT_EQ(emoji.find('?'), std::string::npos);
  EXPECT_EQ(emoji.find('*'), std::string::npos);
  EXPECT_NE(emoji.find('_'), std::string::npos);
}

}  // namespace
}  // namespace vmrk
