// A file's length and last-modification time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace vmrk::platform {

// The length of an ordinary file; a folder is a failure, not a length.
Result<std::uint64_t> FileLength(const std::string& path);

struct FileFacts {
  bool visibleFile = false;  // an ordinary file, not hidden or system, not a folder
  std::uint64_t length = 0;
  std::int64_t modifiedUnixSeconds = 0;
};
// All three in one look at the file (the list check asks for each listed
// file). A missing path is not a failure but facts with visibleFile false;
// a failure is a path that exists and cannot be looked at.
Result<FileFacts> QueryFile(const std::string& path);
// Whole seconds since 1970-01-01 UTC.
Result<std::int64_t> FileModifiedTime(const std::string& path);
// Sets the last-write time only (fraction 0); access and creation times stay.
Status SetFileModifiedTime(const std::string& path, std::int64_t unixSeconds);

}  // namespace vmrk::platform
