// Who takes a release while it is rolled out: each installation draws a
// random 32-bit number once and keeps it; a release whose manifest carries a
// share is taken only by the installations whose number falls under it. The
// share is fixed, or grows from a start time to everyone over some days, so
// a maintainer can watch the first installations before the rest follow,
// and halt (a share of 0 in a newer manifest) without shipping anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk {

struct Rollout {
  std::uint32_t percent = 100;  // 0 to 100: the share at the start
  // With days: from startUnixSeconds the share grows evenly to 100 over
  // that many days; before the start it is 0. Without: percent throughout.
  std::int64_t startUnixSeconds = 0;
  std::uint32_t days = 0;
  friend bool operator==(const Rollout&, const Rollout&) = default;
};

inline constexpr std::uint32_t kLongestRolloutDays = 3650;
inline constexpr std::uint32_t kWholeShare = 1'000'000;

// The share at now, in millionths of all installations.
std::uint32_t RolloutShare(const Rollout& rollout, std::int64_t nowUnixSeconds);

// Whether the installation drawing `number` takes the release at now: the
// numbers under share × 2^32 do, so a growing share only ever adds
// installations, and a share of 100 is every one.
bool TakesRelease(const Rollout& rollout, std::uint32_t number, std::int64_t nowUnixSeconds);

// The manifest's record after "rollout ": "25", or "10 2026-12-09T00:00:00Z 7".
std::string RolloutFields(const Rollout& rollout);
Result<Rollout> ParseRolloutFields(std::string_view fields);

// "12.5 %", for the log.
std::string ShareText(std::uint32_t millionths);

// An installation's number as kept in its settings (decimal); none for
// anything else, which the caller replaces by a fresh draw.
std::optional<std::uint32_t> ParseInstallationNumber(std::string_view text);

}  // namespace vmrk
