// A file's length and last-modification time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace vmrk::platform {

Status FileLength(const std::string& path, std::uint64_t* length);
// Whole seconds since 1970-01-01 UTC.
Status FileModifiedTime(const std::string& path, std::int64_t* unixSeconds);
// Sets the last-write time only (fraction 0); access and creation times stay.
Status SetFileModifiedTime(const std::string& path, std::int64_t unixSeconds);

}  // namespace vmrk::platform
