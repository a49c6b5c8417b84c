// Local calendar time and its conversion to and from the system's clock.
// The conversion uses the time-zone rules in force at the given date (summer
// time included), so a file stamped with a local time shows that very time.
#pragma once

#include <cstdint>
#include <optional>

namespace vmrk::platform {

struct CivilTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

// Seconds since 1970-01-01 00:00:00 UTC for a local time; nullopt when the
// system cannot represent it.
std::optional<std::int64_t> LocalToUnixSeconds(const CivilTime& local);
CivilTime UnixSecondsToLocal(std::int64_t seconds);

}  // namespace vmrk::platform
