// A file's length and last-modification time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace vmrk::platform {

Status FileLength(const std::string& path, std::uint64_t* length);

struct FileFacts {
  bool visibleFile = false;  // an ordinary file, not hidden or system, not a folder
  std::uint64_t length = 0;
  std::int64_t modifiedUnixSeconds = 0;
};
// All three in one look at the file (the list check asks for each listed
// file). A missing path is not an error: visibleFile is then false.
Status QueryFile(const std::string& path, FileFacts* facts);
// Whole seconds since 1970-01-01 UTC.
Status FileModifiedTime(const std::string& path, std::int64_t* unixSeconds);
// Sets the last-write time only (fraction 0); access and creation times stay.
Status SetFileModifiedTime(const std::string& path, std::int64_t unixSeconds);

}  // namespace vmrk::platform
