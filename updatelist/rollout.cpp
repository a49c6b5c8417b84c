#include "updatelist/rollout.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "updatelist/record_fields.h"
#include "updatelist/release_manifest.h"

namespace vmrk {

std::uint32_t RolloutShare(const Rollout& r, std::int64_t now) {
  const std::uint64_t start = static_cast<std::uint64_t>(r.percent) * (kWholeShare / 100);
  if (r.days == 0) return static_cast<std::uint32_t>(start);
  if (now < r.startUnixSeconds) return 0;
  const std::int64_t span = static_cast<std::int64_t>(r.days) * 86400;
  const std::int64_t elapsed = now - r.startUnixSeconds;
  if (elapsed >= span) return kWholeShare;
  // At most 10^6 × 3650 days of seconds: far inside 64 bits.
  return static_cast<std::uint32_t>(start + (kWholeShare - start) * static_cast<std::uint64_t>(elapsed) /
                                                static_cast<std::uint64_t>(span));
}

bool TakesRelease(const Rollout& rollout, std::uint32_t number, std::int64_t now) {
  // number / 2^32 < share / 10^6, in integers: both sides below 2^53.
  return static_cast<std::uint64_t>(number) * kWholeShare <
         static_cast<std::uint64_t>(RolloutShare(rollout, now)) << 32;
}

std::string RolloutFields(const Rollout& r) {
  std::string fields = std::to_string(r.percent);
  if (r.days > 0) fields += " " + FormatUtc(r.startUnixSeconds) + " " + std::to_string(r.days);
  return fields;
}

Result<Rollout> ParseRolloutFields(std::string_view fields) {
  auto bad = [] { return Status::Error(Status::Kind::kInvalid, "bad rollout record"); };
  std::vector<std::string_view> f;
  Rollout rollout;
  std::uint64_t number = 0;
  const size_t words = fields.find(' ') == std::string_view::npos ? 1 : 3;
  if (!SplitRecord(fields, words, &f) || !ParseRecordNumber(f[0], &number) || number > 100) return bad();
  rollout.percent = static_cast<std::uint32_t>(number);
  if (words == 1) return rollout;
  Result<std::int64_t> start = ParseUtc(f[1]);
  if (!start.ok() || !ParseRecordNumber(f[2], &number) || number < 1 || number > kLongestRolloutDays) return bad();
  rollout.startUnixSeconds = *start;
  rollout.days = static_cast<std::uint32_t>(number);
  return rollout;
}

std::string ShareText(std::uint32_t millionths) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g %%", millionths / 10000.0);
  return text;
}

std::optional<std::uint32_t> ParseInstallationNumber(std::string_view text) {
  std::uint64_t number = 0;
  if (!ParseRecordNumber(text, &number) || number > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

}  // namespace vmrk
