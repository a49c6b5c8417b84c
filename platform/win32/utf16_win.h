// UTF-8 inside, UTF-16 at the Win32 edge. Every Windows call in this layer
// goes through the W functions with these conversions.
#pragma once

#include <string>
#include <string_view>

namespace vmrk::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);
// The text of GetLastError() for messages.
std::string LastErrorText();

}  // namespace vmrk::platform
