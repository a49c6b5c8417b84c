// Which release.sig a run follows when it asks every server of myip.txt at
// once: the newest that verified, so that a lagging mirror listed first
// never holds an installation back. Pure: the run gathers the answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmrk {

struct ManifestAnswer {
  enum Kind {
    kPending,   // not asked yet, or no answer yet
    kVerified,  // signed by a trusted key, format 2, not expired
    kRefused,   // arrived but did not verify
    kMissing,   // an HTTP error: the server has no release.sig (an earlier tool's)
    kSilent,    // no connection, or no answer in time
  } kind = kPending;
  std::uint64_t serial = 0;  // kVerified
};

struct ReleaseChoice {
  enum Kind {
    kWait,           // answers are still to come
    kUse,            // the release of `server`
    kAskPastCaches,  // every verified one is older than the accepted serial: once more, past the caches
    kUpToDate,       // still older (or gone) past the caches: nothing newer to install
    kFixedNames,     // no release.sig where one answered: list.txt and list.txt.sig of `server`
    kRefused,        // only refused ones: `server`'s refusal is the run's
    kUnreachable,    // no server answered at all
  } kind = kWait;
  size_t server = 0;
  friend bool operator==(const ReleaseChoice&, const ReleaseChoice&) = default;
};

// answers: by server, in myip.txt's order. A verified manifest older than
// `accepted` is never used; of the others the newest wins, and of equals the
// first listed. With one server this is the choice that server alone gives.
ReleaseChoice ChooseRelease(const std::vector<ManifestAnswer>& answers, std::uint64_t accepted,
                            bool askedPastCaches);

}  // namespace vmrk
