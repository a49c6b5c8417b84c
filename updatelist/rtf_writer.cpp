#include "updatelist/rtf_writer.h"

#include <cstdio>
#include <unordered_map>

#include "platform/codepage.h"
#include "updatelist/utf8.h"

namespace vmrk {
namespace {

constexpr int kGbk = 936;
// 宋体 in GBK, the font name a Chinese rich-edit control writes.
constexpr char kHeader[] =
    "{\\rtf1\\ansi\\ansicpg936\\deff0\\deflang2052{\\fonttbl{\\f0\\fnil\\fcharset134 \\'cb\\'ce\\'cc\\'e5;}}\r\n"
    "\\viewkind4\\uc1\\pard\\lang2052\\f0\\fs18 ";
constexpr char kHex[] = "0123456789abcdef";

class Writer {
 public:
  explicit Writer(size_t sizeHint) { out_.reserve(sizeHint * 2 + sizeof kHeader + 16); }

  void Text(std::string_view text) {
    out_ += kHeader;
    std::u32string chars = Utf8ToCodePoints(text);
    for (size_t i = 0; i < chars.size(); ++i) {
      char32_t c = chars[i];
      if (c == U'\r' && i + 1 < chars.size() && chars[i + 1] == U'\n') {
        out_ += "\\par\r\n";  // the line break in the source keeps the file readable; readers ignore it
        ++i;
      } else if (c == U'\\' || c == U'{' || c == U'}') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c == U'\t') {
        out_ += "\\tab ";
      } else if (c >= 0x20 && c < 0x80) {
        out_ += static_cast<char>(c);
      } else {
        NonAscii(c);
      }
    }
    // A rich-edit reader takes the last \par for the document's end mark.
    out_ += "\\par\r\n}\r\n";
  }

  std::string Take() { return std::move(out_); }

 private:
  void Uc(int n) {
    if (n == uc_) return;
    out_ += "\\uc" + std::to_string(n);
    uc_ = n;
    out_ += ' ';
  }

  // \u takes a signed 16-bit number; rich-edit controls write the upper half
  // of the plane as negatives.
  void U(char32_t unit) {
    int n = static_cast<int>(unit);
    if (n > 32767) n -= 65536;
    out_ += "\\u" + std::to_string(n);
  }

  // GBK bytes of a character, "" when GBK has none. Lists repeat the same few
  // characters (folder names) on every line, so each is converted once.
  const std::string& GbkOf(char32_t c) {
    auto [it, inserted] = gbk_.try_emplace(c);
    if (inserted) {
      std::string utf8;
      AppendUtf8(c, &utf8);
      if (!platform::EncodeCodePage(kGbk, utf8, &it->second)) it->second.clear();
    }
    return it->second;
  }

  void NonAscii(char32_t c) {
    // Controls (a lone CR or LF among them) have no GBK fallback worth giving.
    const std::string& gbk = c >= 0x80 && c <= 0xFFFF ? GbkOf(c) : std::string();
    bool encodable = !gbk.empty();
    if (c > 0xFFFF) {
      // A pair of \u: the first with no fallback, the second with one "_",
      // so a code-page reader sees one character too.
      char32_t v = c - 0x10000;
      Uc(0);
      U(0xD800 + (v >> 10));
      Uc(1);
      U(0xDC00 + (v & 0x3FF));
      out_ += '_';
      return;
    }
    if (!encodable) {
      Uc(1);
      U(c);
      out_ += '_';
      return;
    }
    Uc(static_cast<int>(gbk.size()));
    U(c);
    for (unsigned char b : gbk) {
      out_ += "\\'";
      out_ += kHex[b >> 4];
      out_ += kHex[b & 15];
    }
  }

  std::string out_;
  int uc_ = 1;
  std::unordered_map<char32_t, std::string> gbk_;
};

}  // namespace

std::string PlainTextToRtf(std::string_view text) {
  Writer writer(text.size());
  writer.Text(text);
  return writer.Take();
}

}  // namespace vmrk
