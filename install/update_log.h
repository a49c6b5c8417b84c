// vmrkxupdate.log in the application folder: what each run did, one event a
// line, for a supporter to ask a user for. Appended to, and when it passes
// 1 MiB moved to vmrkxupdate.log.1 (the one older copy kept). A log that
// cannot be written never stops an update: its failures are dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vmrk {

inline constexpr std::uint64_t kUpdateLogRotateBytes = 1u << 20;
inline constexpr char kUpdateLogFile[] = "vmrkxupdate.log";

class UpdateLog {
 public:
  // An empty path keeps no log. clock gives Unix seconds (tests fix it).
  explicit UpdateLog(std::string path = {}, std::function<std::int64_t()> clock = {});
  // One line: the local time with its UTC offset, then the event with any
  // line breaks made spaces.
  void Event(std::string_view text);

 private:
  std::string path_;
  std::function<std::int64_t()> clock_;
};

// "2026-12-07 22:43:15 +08:00": local time and its offset from UTC.
std::string LocalTimeWithOffset(std::int64_t unixSeconds);

// An address as the log may show it: any user name or password in it hidden.
std::string AddressForLog(std::string_view address);

}  // namespace vmrk
