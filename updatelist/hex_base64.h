// Hex and base64 as the release manifest writes them. Reading is strict: a
// text that is not exactly the canonical form is refused, never repaired.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vmrk {

std::string ToHex(std::string_view bytes);  // lower case
// Lower-case hex of an even length only.
std::optional<std::string> FromHex(std::string_view hex);

std::string ToBase64(std::string_view bytes);  // standard alphabet, with padding
// Standard alphabet with its padding; no line breaks, no spaces, no stray
// bits in the last character.
std::optional<std::string> FromBase64(std::string_view text);

}  // namespace vmrk
