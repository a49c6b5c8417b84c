// Gives a staged file the modification time that the update list names.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

// dateText is read as the list check reads Modified, as local time under the
// zone rules in force at that date, so the file's time shown in local time
// reads exactly dateText. Only the last-write time changes (seconds carried,
// fraction 0). A text that is not a date changes nothing and fails.
Status StampFileTime(const std::string& filePath, std::string_view dateText);

}  // namespace vmrk
