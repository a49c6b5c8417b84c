// UTF-8 inside, UTF-16 at the Win32 edge. Every Windows call in this layer
// goes through the W functions with these conversions.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk::platform {

std::wstring Widen(std::string_view utf8);
// A file path for the W file functions: as Widen, and past the classic
// MAX_PATH limits in the \\?\ form (\\?\UNC\ for shares), which takes
// paths up to 32,767 characters but no "/" and no relative ones. Short paths
// stay as they are.
std::wstring WidePath(std::string_view utf8Path);
// Back from that form, for callers that take no \\?\ (the shell).
std::wstring WithoutLongPrefix(std::wstring path);
std::string Narrow(std::wstring_view utf16);
// The text of GetLastError() for messages.
std::string LastErrorText();
// A failure from GetLastError(): its kind, and "WHAT: the system's text".
Status LastErrorStatus(const std::string& what);

}  // namespace vmrk::platform
