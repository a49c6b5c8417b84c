#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/codepage.h"

namespace vmrk::platform {
namespace {

// iconv's names for the Windows code pages. Decoding 936 goes through GB18030,
// a superset of glibc's GBK that also knows the few pairs GBK's table lacks;
// encoding stays within GBK's two-byte form, which is all that readers of 936
// understand. Windows' single byte 0x80 (the euro sign) is neither's, and is
// handled by hand.
const char* IconvName(int codePage, bool decoding) {
  switch (codePage) {
    case 936: return decoding ? "GB18030" : "GBK";
    case 950: return "BIG5";
    case 932: return "CP932";
    case 949: return "CP949";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 874: return "CP874";
    case 437: return "CP437";
    case 850: return "CP850";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case 65001: return "UTF-8";
    default: return nullptr;
  }
}

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much as possible; on an invalid sequence calls onInvalid and
  // skips one input byte. Returns false if onInvalid asks to stop.
  template <typename OnInvalid>
  bool Run(std::string_view in, std::string* out, OnInvalid onInvalid) {
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char buffer[4096];
    for (;;) {
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      size_t r = iconv(cd_, inLeft ? &inPtr : nullptr, &inLeft, &outPtr, &outLeft);
      out->append(buffer, static_cast<size_t>(outPtr - buffer));
      if (r != static_cast<size_t>(-1)) {
        if (inLeft == 0) return true;
        continue;
      }
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a truncated sequence at the end): skip one byte.
      if (!onInvalid(out, static_cast<unsigned char>(*inPtr))) return false;
      if (inLeft == 0) return true;
      ++inPtr;
      --inLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      if (inLeft == 0) return true;
    }
  }

 private:
  iconv_t cd_;
};

}  // namespace

bool DecodeCodePage(int codePage, std::string_view bytes, std::string* utf8) {
  const char* name = IconvName(codePage, true);
  if (name == nullptr) return false;
  Converter converter("UTF-8", name);
  if (!converter.valid()) return false;
  utf8->clear();
  return converter.Run(bytes, utf8, [codePage](std::string* out, unsigned char byte) {
    out->append(codePage == 936 && byte == 0x80 ? "\xE2\x82\xAC" : "\xEF\xBF\xBD");
    return true;
  });
}

bool EncodeCodePage(int codePage, std::string_view utf8, std::string* out) {
  const char* name = IconvName(codePage, false);
  if (name == nullptr) return false;
  Converter converter(name, "UTF-8");
  if (!converter.valid()) return false;
  out->clear();
  return converter.Run(utf8, out, [](std::string*, unsigned char) { return false; });
}

}  // namespace vmrk::platform
