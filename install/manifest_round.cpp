#include "install/manifest_round.h"

namespace vmrk {

ReleaseChoice ChooseRelease(const std::vector<ManifestAnswer>& answers, std::uint64_t accepted,
                            bool askedPastCaches) {
  const ManifestAnswer* newest = nullptr;
  size_t newestServer = 0;
  for (size_t s = 0; s < answers.size(); ++s) {
    if (answers[s].kind == ManifestAnswer::kPending) return {ReleaseChoice::kWait};
    if (answers[s].kind == ManifestAnswer::kVerified && (newest == nullptr || answers[s].serial > newest->serial)) {
      newest = &answers[s];
      newestServer = s;
    }
  }
  if (newest != nullptr) {
    if (newest->serial >= accepted) return {ReleaseChoice::kUse, newestServer};
    return {askedPastCaches ? ReleaseChoice::kUpToDate : ReleaseChoice::kAskPastCaches};
  }
  auto first = [&](ManifestAnswer::Kind kind) {
    for (size_t s = 0; s < answers.size(); ++s)
      if (answers[s].kind == kind) return s;
    return answers.size();
  };
  // Past the caches a missing or silent release.sig is a lagging copy of
  // one seen a moment ago, not an earlier tool's server.
  if (const size_t s = first(ManifestAnswer::kMissing); s < answers.size() && !askedPastCaches)
    return {ReleaseChoice::kFixedNames, s};
  if (const size_t s = first(ManifestAnswer::kRefused); s < answers.size()) return {ReleaseChoice::kRefused, s};
  if (askedPastCaches) return {ReleaseChoice::kUpToDate};
  return {ReleaseChoice::kUnreachable};
}

}  // namespace vmrk
