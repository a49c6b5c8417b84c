// The plain text of a rich-text (RTF) document, as a rich-edit control on
// Chinese Windows gives it: \par as CR LF (the document's last paragraph mark
// absorbed), \'hh bytes decoded in the code page of the font in force, \uN
// with its fallback skipped, header and other non-text destinations left out.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// True when bytes begin as an RTF document does ("{\rtf").
bool LooksLikeRtf(std::string_view bytes);

// Best effort on damaged input inside the document (unbalanced inner braces,
// binary junk); fails, of kind kInvalid, for a document whose outermost group
// never closes (it did not arrive whole) and for nesting deeper than any real
// document has. A refused document gives no text at all, not the part read.
Result<std::string> RtfToPlainText(std::string_view rtf);

}  // namespace vmrk
