// UTF-8 helpers for the core: validation, and moving between UTF-8 and code
// points where rules count characters rather than bytes.
#pragma once

#include <string>
#include <string_view>

namespace vmrk {

bool IsValidUtf8(std::string_view bytes);
// Invalid sequences become U+FFFD.
std::u32string Utf8ToCodePoints(std::string_view utf8);
std::string CodePointsToUtf8(std::u32string_view codePoints);
void AppendUtf8(char32_t codePoint, std::string* out);

}  // namespace vmrk
