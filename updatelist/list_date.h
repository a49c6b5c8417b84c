// The date text of the update list's Modified field. Written in one fixed
// form; read in that form and in the short forms that Chinese Windows writes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/civil_time.h"

namespace vmrk {

// "yyyy-MM-dd HH:mm:ss"; exactly midnight as "yyyy-MM-dd".
std::string FormatListDate(const platform::CivilTime& local);

// Accepts y-M-d, y/M/d or y.M.d (4-digit year, 1- or 2-digit month and day),
// optionally followed by one space and H:mm or H:mm:ss, with an optional
// AM/PM marker (AM, PM, 上午, 下午) before or after the time. A date alone is
// midnight. Surrounding spaces are allowed; every field is range-checked.
std::optional<platform::CivilTime> ParseListDate(std::string_view text);

int DaysInMonth(int year, int month);

}  // namespace vmrk
