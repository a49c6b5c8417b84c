// Conversion between UTF-8 and the Windows code pages that lists and address
// files may be written in (936 GBK, 950 Big5, 932 Shift-JIS, 949, 125x).
// One implementation per platform: iconv on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace vmrk::platform {

// Decodes bytes of the given Windows code page into UTF-8. Bytes that do not
// form a character become U+FFFD; returns false when the code page is unknown.
bool DecodeCodePage(int codePage, std::string_view bytes, std::string* utf8);

// Encodes UTF-8 text into the code page. Returns false when a character cannot
// be represented (out is then unspecified) or the code page is unknown.
bool EncodeCodePage(int codePage, std::string_view utf8, std::string* out);

}  // namespace vmrk::platform
