// The window's text holder (RichTextBox1 of the original design): loads a file
// whole and gives its plain text as UTF-8. The address file and the update list
// both come through here.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// Plain text of a file that is not rich text: UTF-8 when valid (a byte-order
// mark dropped), else GBK.
std::string PlainTextOf(std::string_view bytes);

// Rich text (a file beginning "{\rtf") through the RTF reader, anything else
// as plain text.
Status LoadDocumentText(const std::string& path, std::string* text);
// The same for bytes already read.
Status DocumentTextOf(std::string_view bytes, std::string* text);

}  // namespace vmrk
