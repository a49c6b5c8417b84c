#include "install/update_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "platform/files.h"

namespace vmrk {

UpdateLog::UpdateLog(std::string path, std::function<std::int64_t()> clock)
    : path_(std::move(path)), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
}

void UpdateLog::Event(std::string_view text) {
  if (path_.empty()) return;
  std::string line = LocalTimeWithOffset(clock_()) + " ";
  for (char c : text) line += c == '\r' || c == '\n' ? ' ' : c;
  line += '\n';
  Result<std::uint64_t> length = platform::FileLength(path_);
  if (length.ok() && *length + line.size() > kUpdateLogRotateBytes)
    platform::RenameReplacing(path_, path_ + ".1").IgnoreError();  // then the log grows past its bound
  // The log never stops an update: a line that cannot be written is lost.
  platform::AppendToFile(path_, line).IgnoreError();
}

std::string LocalTimeWithOffset(std::int64_t unixSeconds) {
  platform::CivilTime local = platform::UnixSecondsToLocal(unixSeconds);
  // The offset is what the local fields read as UTC are ahead of the clock.
  using namespace std::chrono;
  sys_days day = year_month_day{year{local.year}, month{static_cast<unsigned>(local.month)},
                                std::chrono::day{static_cast<unsigned>(local.day)}};
  std::int64_t asUtc = static_cast<std::int64_t>(day.time_since_epoch().count()) * 86400 + local.hour * 3600 +
                       local.minute * 60 + local.second;
  long offsetMinutes = static_cast<long>((asUtc - unixSeconds) / 60);
  char sign = offsetMinutes < 0 ? '-' : '+';
  if (offsetMinutes < 0) offsetMinutes = -offsetMinutes;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02ld:%02ld", local.year, local.month, local.day,
                local.hour, local.minute, local.second, sign, offsetMinutes / 60, offsetMinutes % 60);
  return text;
}

std::string AddressForLog(std::string_view address) {
  std::string text(address);
  size_t scheme = text.find("://");
  size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
  size_t hostEnd = text.find('/', hostStart);
  size_t at = text.rfind('@', hostEnd == std::string::npos ? text.size() : hostEnd);
  if (at != std::string::npos && at >= hostStart) text.replace(hostStart, at - hostStart, "***");
  return text;
}

}  // namespace vmrk
