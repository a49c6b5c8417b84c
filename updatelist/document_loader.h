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
// as plain text. Fails with the kind the file's reading gave, or kInvalid for
// rich text the reader refuses (plain text is never refused).
Result<std::string> LoadDocumentText(const std::string& path);
// The same for bytes already read.
Result<std::string> DocumentTextOf(std::string_view bytes);

}  // namespace vmrk
