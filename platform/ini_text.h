// Reading and changing one value of an INI document held as text. Section and
// key names compare without regard to ASCII case, as the Windows profile
// functions do; values are kept byte for byte (a trailing space is part of the
// value). Lines that are not touched come out unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vmrk::platform {

std::optional<std::string> IniLookup(std::string_view document, std::string_view section,
                                     std::string_view key);

// The document with section/key set to value; the section and key are added at
// the end when missing.
std::string IniAssign(std::string_view document, std::string_view section, std::string_view key,
                      std::string_view value);

}  // namespace vmrk::platform
