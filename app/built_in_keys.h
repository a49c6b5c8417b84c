// The maintainer's public keys compiled into the updater (CMake option
// VMRK_TRUSTED_KEYS_FILE); empty in a build made without keys.
#pragma once

#include <string_view>

namespace vmrk {
std::string_view BuiltInKeysText();
}
