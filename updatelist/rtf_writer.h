// Writes text as a rich-text document that our reader and a rich-edit control
// both read back as exactly that text.
#pragma once

#include <string>
#include <string_view>

namespace vmrk {

// text is UTF-8. Characters beyond ASCII are written as \uN with their GBK
// bytes as the fallback for readers that only know code pages ("_" where GBK
// has no such character: never "?" or "*", the list's separators).
std::string PlainTextToRtf(std::string_view text);

}  // namespace vmrk
