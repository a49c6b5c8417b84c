#include "updatelist/rtf_reader.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/codepage.h"
#include "updatelist/utf8.h"

namespace vmrk {
namespace {

constexpr size_t kMaxDepth = 256;
constexpr int kMaxSkip = 64;
constexpr std::int64_t kParameterLimit = 2147483647;
constexpr int kDocumentCodePage = -1;  // a font of charset 1: the \ansicpg in force

enum class Word {
  kUnknown, kAnsi, kMac, kPc, kPca, kAnsiCpg, kDeff, kFontTable, kFont, kCharset, kCpg, kPlain, kUc, kU, kPar,
  kLine, kTab, kBin, kSkipDestination, kChar,
};

struct WordInfo {
  Word word;
  char32_t character = 0;  // for kChar
};

const std::unordered_map<std::string_view, WordInfo>& Words() {
  static const auto* words = [] {
    auto* m = new std::unordered_map<std::string_view, WordInfo>{
        {"ansi", {Word::kAnsi}}, {"mac", {Word::kMac}}, {"pc", {Word::kPc}}, {"pca", {Word::kPca}},
        {"ansicpg", {Word::kAnsiCpg}}, {"deff", {Word::kDeff}}, {"fonttbl", {Word::kFontTable}},
        {"f", {Word::kFont}}, {"fcharset", {Word::kCharset}}, {"cpg", {Word::kCpg}}, {"plain", {Word::kPlain}},
        {"uc", {Word::kUc}}, {"u", {Word::kU}}, {"par", {Word::kPar}}, {"line", {Word::kLine}},
        {"tab", {Word::kTab}}, {"bin", {Word::kBin}},
        {"emdash", {Word::kChar, U'\u2014'}}, {"endash", {Word::kChar, U'\u2013'}},
        {"bullet", {Word::kChar, U'\u2022'}}, {"lquote", {Word::kChar, U'\u2018'}},
        {"rquote", {Word::kChar, U'\u2019'}}, {"ldblquote", {Word::kChar, U'\u201C'}},
        {"rdblquote", {Word::kChar, U'\u201D'}}, {"emspace", {Word::kChar, U'\u2003'}},
        {"enspace", {Word::kChar, U'\u2002'}}, {"qmspace", {Word::kChar, U'\u2005'}},
        {"zwj", {Word::kChar, U'\u200D'}}, {"zwnj", {Word::kChar, U'\u200C'}},
        {"ltrmark", {Word::kChar, U'\u200E'}}, {"rtlmark", {Word::kChar, U'\u200F'}},
    };
    for (std::string_view name :
         {"colortbl", "stylesheet", "info", "pict", "shppict", "nonshppict", "object", "objdata", "header",
          "headerl", "headerr", "headerf", "footer", "footerl", "footerr", "footerf", "footnote", "fldinst",
          "xe", "tc", "themedata", "colorschememapping", "datastore", "latentstyles", "listtable",
          "listoverridetable", "rsidtbl", "generator", "xmlnstbl", "filetbl", "revtbl", "pgdsctbl", "pntext",
          "pntxta", "pntxtb", "listtext", "bkmkstart", "bkmkend", "annotation", "atnid", "atnauthor", "author",
          "operator", "title", "subject", "keywords", "comment", "doccomm", "userprops", "docvar", "mmathPr",
          "passwordhash", "wgrffmtfilter", "fchars", "lchars", "private"})
      (*m)[name] = {Word::kSkipDestination};
    return m;
  }();
  return *words;
}

int CodePageOfCharset(std::int64_t charset) {
  switch (charset) {
    case 0: return 1252;
    case 1: return kDocumentCodePage;
    case 2: return 1252;  // symbol fonts: the bytes are glyph numbers
    case 77: return 10000;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    default: return kDocumentCodePage;
  }
}

enum class Destination { kText, kFontTable, kSkipped };

struct Group {
  Destination destination = Destination::kText;
  int uc = 1;
  int font = -1;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  Result<std::string> Run() {
    while (pos_ < in_.size()) {
      char c = in_[pos_++];
      switch (c) {
        case '{':
          Flush();
          skip_ = 0;
          if (stack_.size() >= kMaxDepth) return Status::Error(Status::Kind::kInvalid, "rich text nested too deeply");
          stack_.push_back(group_);
          atGroupStart_ = true;
          continue;
        case '}':
          Flush();
          skip_ = 0;
          atGroupStart_ = false;
          if (stack_.empty()) {
            pos_ = in_.size();  // the document's own closing brace: nothing after it is text
            closed_ = true;
            continue;
          }
          group_ = stack_.back();
          stack_.pop_back();
          continue;
        case '\\':
          Control();
          break;
        case '\r':
        case '\n':
          continue;  // line breaks of the source are not text
        default:
          Byte(static_cast<unsigned char>(c));
          break;
      }
      atGroupStart_ = false;
    }
    // A document whose own group never closes was cut short (a transfer
    // that broke off): its last lines may be missing, so none are trusted.
    if (!closed_)
      return Status::Error(Status::Kind::kInvalid, "the rich text ends before its document's closing brace");
    Flush();
    DropPendingSurrogate();
    // A rich-edit control takes a \par that ends the document for the
    // document's own end mark.
    if (lastParEnd_ == out_.size() && out_.size() >= 2) out_.resize(out_.size() - 2);
    return std::move(out_);
  }

 private:
  bool Skipping() const { return group_.destination != Destination::kText; }

  // One character of fallback text after \uN is skipped; true when this one was.
  bool SkipFallback() {
    if (skip_ == 0) return false;
    --skip_;
    return true;
  }

  void Byte(unsigned char b) {
    if (Skipping() || SkipFallback()) return;
    if (b < 0x20 && b != '\t') return;  // stray control bytes carry no text
    if (b < 0x80 && pending_.empty()) {
      DropPendingSurrogate();
      out_ += static_cast<char>(b);
      return;
    }
    EncodedByte(b);
  }

  // A byte in the code page in force; runs are decoded together so that a
  // double-byte character split over two \'hh escapes is one character.
  void EncodedByte(unsigned char b) {
    int codePage = CurrentCodePage();
    if (!pending_.empty() && codePage != pendingCodePage_) Flush();
    pendingCodePage_ = codePage;
    pending_ += static_cast<char>(b);
  }

  void Flush() {
    if (pending_.empty()) return;
    DropPendingSurrogate();
    std::string decoded;
    if (!platform::DecodeCodePage(pendingCodePage_, pending_, &decoded) &&
        !platform::DecodeCodePage(1252, pending_, &decoded)) {
      decoded.clear();
      for (unsigned char c : pending_) AppendUtf8(c, &decoded);
    }
    out_ += decoded;
    pending_.clear();
  }

  void Emit(char32_t c) {
    Flush();
    DropPendingSurrogate();
    AppendUtf8(c, &out_);
  }

  void EmitAscii(char c) {
    Flush();
    DropPendingSurrogate();
    out_ += c;
  }

  void DropPendingSurrogate() {
    if (highSurrogate_ == 0) return;
    highSurrogate_ = 0;
    AppendUtf8(U'\uFFFD', &out_);
  }

  int CodePageForFont(int font) const {
    auto it = fontCodePages_.find(font);
    return it == fontCodePages_.end() || it->second == kDocumentCodePage ? ansiCodePage_ : it->second;
  }
  int CurrentCodePage() const {
    int font = group_.font >= 0 ? group_.font : defaultFont_;
    return font < 0 ? ansiCodePage_ : CodePageForFont(font);
  }

  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void Control() {
    if (pos_ >= in_.size()) return;  // a lone backslash at the end
    char c = in_[pos_];
    if (IsLetter(c)) {
      size_t start = pos_;
      while (pos_ < in_.size() && IsLetter(in_[pos_]) && pos_ - start < 32) ++pos_;
      std::string_view name = in_.substr(start, pos_ - start);
      bool negative = false, hasParameter = false;
      std::int64_t parameter = 0;
      if (pos_ < in_.size() && in_[pos_] == '-' && pos_ + 1 < in_.size() && in_[pos_ + 1] >= '0' &&
          in_[pos_ + 1] <= '9') {
        negative = true;
        ++pos_;
      }
      while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') {
        hasParameter = true;
        if (parameter < kParameterLimit) parameter = parameter * 10 + (in_[pos_] - '0');
        ++pos_;
      }
      if (parameter > kParameterLimit) parameter = kParameterLimit;
      if (negative) parameter = -parameter;
      if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;  // the delimiter belongs to the word
      ControlWord(name, hasParameter, parameter);
      return;
    }
    ++pos_;
    switch (c) {
      case '\'': {
        int high = pos_ < in_.size() ? HexValue(in_[pos_]) : -1;
        int low = pos_ + 1 < in_.size() ? HexValue(in_[pos_ + 1]) : -1;
        if (high < 0 || low < 0) {
          // A truncated escape: take what hex digits there are and go on.
          while (pos_ < in_.size() && HexValue(in_[pos_]) >= 0 && pos_ < in_.size()) ++pos_;
          return;
        }
        pos_ += 2;
        if (Skipping() || SkipFallback()) return;
        EncodedByte(static_cast<unsigned char>(high * 16 + low));
        return;
      }
      case '\\':
      case '{':
      case '}':
        if (Skipping() || SkipFallback()) return;
        EmitAscii(c);
        return;
      case '~':
        if (Skipping() || SkipFallback()) return;
        Emit(U'\u00A0');
        return;
      case '_':
        if (Skipping() || SkipFallback()) return;
        Emit(U'\u2011');
        return;
      case '*':
        // "{\*\dest ...}": a destination this reader need not know.
        if (atGroupStart_) group_.destination = Destination::kSkipped;
        return;
      case '\r':
      case '\n':
        ControlWord("par", false, 0);
        return;
      default:
        SkipFallback();
        return;  // \- \| \: and unknown symbols carry no text
    }
  }

  void ControlWord(std::string_view name, bool hasParameter, std::int64_t parameter) {
    auto it = Words().find(name);
    const WordInfo info = it == Words().end() ? WordInfo{Word::kUnknown} : it->second;
    if (info.word == Word::kBin) {
      // Binary data is never text, in any destination, and is one character.
      size_t length = hasParameter && parameter > 0 ? static_cast<size_t>(parameter) : 0;
      pos_ += std::min(length, in_.size() - pos_);
      SkipFallback();
      return;
    }
    if (info.word == Word::kSkipDestination) {
      Flush();
      group_.destination = Destination::kSkipped;
      return;
    }
    if (info.word == Word::kFontTable) {
      Flush();
      if (group_.destination == Destination::kText) group_.destination = Destination::kFontTable;
      return;
    }
    if (group_.destination == Destination::kFontTable) {
      if (info.word == Word::kFont && hasParameter) tableFont_ = static_cast<int>(parameter);
      if (info.word == Word::kCharset && tableFont_ >= 0) fontCodePages_[tableFont_] = CodePageOfCharset(parameter);
      if (info.word == Word::kCpg && tableFont_ >= 0 && hasParameter)
        fontCodePages_[tableFont_] = static_cast<int>(parameter);
      return;
    }
    if (Skipping()) return;

    switch (info.word) {
      case Word::kAnsi: ansiCodePage_ = 1252; return;
      case Word::kMac: ansiCodePage_ = 10000; return;
      case Word::kPc: ansiCodePage_ = 437; return;
      case Word::kPca: ansiCodePage_ = 850; return;
      case Word::kAnsiCpg:
        if (hasParameter && parameter > 0) ansiCodePage_ = static_cast<int>(parameter);
        return;
      case Word::kDeff:
        if (hasParameter) defaultFont_ = static_cast<int>(parameter);
        return;
      case Word::kFont:
        if (hasParameter) group_.font = static_cast<int>(parameter);
        return;
      case Word::kPlain: group_.font = defaultFont_; return;
      case Word::kUc:
        group_.uc = hasParameter ? static_cast<int>(std::clamp<std::int64_t>(parameter, 0, kMaxSkip)) : 1;
        return;
      case Word::kU: Unicode(parameter); return;
      case Word::kPar:
        if (SkipFallback()) return;
        EmitAscii('\r');
        out_ += '\n';
        lastParEnd_ = out_.size();
        return;
      case Word::kLine:
        if (SkipFallback()) return;
        EmitAscii('\r');
        out_ += '\n';
        return;
      case Word::kTab:
        if (SkipFallback()) return;
        EmitAscii('\t');
        return;
      case Word::kChar:
        if (SkipFallback()) return;
        Emit(info.character);
        return;
      default:
        return;  // formatting and words this reader does not know
    }
  }

  void Unicode(std::int64_t n) {
    if (SkipFallback()) return;
    Flush();
    if (n < 0) n += 65536;
    char32_t c = n < 0 || n > 0x10FFFF ? U'\uFFFD' : static_cast<char32_t>(n);
    skip_ = group_.uc;
    if (c >= 0xD800 && c <= 0xDBFF) {
      DropPendingSurrogate();
      highSurrogate_ = c;
      return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
      if (highSurrogate_ == 0) {
        AppendUtf8(U'\uFFFD', &out_);
        return;
      }
      char32_t joined = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00);
      highSurrogate_ = 0;
      AppendUtf8(joined, &out_);
      return;
    }
    DropPendingSurrogate();
    AppendUtf8(c, &out_);
  }

  std::string_view in_;
  size_t pos_ = 0;
  std::string out_;
  std::vector<Group> stack_;
  Group group_;
  bool atGroupStart_ = false;
  int ansiCodePage_ = 1252;
  int defaultFont_ = -1;
  std::unordered_map<int, int> fontCodePages_;
  int tableFont_ = -1;
  std::string pending_;
  int pendingCodePage_ = 1252;
  int skip_ = 0;
  char32_t highSurrogate_ = 0;
  size_t lastParEnd_ = std::string::npos;
  bool closed_ = false;
};

}  // namespace

bool LooksLikeRtf(std::string_view bytes) { return bytes.substr(0, 5) == "{\\rtf"; }

Result<std::string> RtfToPlainText(std::string_view rtf) {
  // The document is the first group; skip its opening brace so that its
  // closing one ends the reading.
  if (!rtf.empty() && rtf.front() == '{') rtf.remove_prefix(1);
  return Reader(rtf).Run();
}

}  // namespace vmrk
