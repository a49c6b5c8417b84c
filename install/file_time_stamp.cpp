#include "install/file_time_stamp.h"

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "updatelist/list_date.h"

namespace vmrk {

Status StampFileTime(const std::string& filePath, std::string_view dateText) {
  std::optional<platform::CivilTime> local = ParseListDate(dateText);
  if (!local) return Status::Error("\"" + std::string(dateText) + "\" is not a date");
  std::optional<std::int64_t> seconds = platform::LocalToUnixSeconds(*local);
  if (!seconds) return Status::Error("\"" + std::string(dateText) + "\" cannot be a file time here");
  return platform::SetFileModifiedTime(filePath, *seconds);
}

}  // namespace vmrk
