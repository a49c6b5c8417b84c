// Where each file of a signed release comes from, decided before the first
// byte is fetched: a patch from a delta package when the installed file is
// that patch's base, else its frame in the release's full package when many
// files need copies, else a compressed copy, else the plain file; and how a
// package is fetched (whole in one request when every frame of it is needed
// and it is short, else as byte ranges: as few as round trips are worth, as
// many as the transfers that share them). Pure: the run
// does the fetching and falls back along each row's chain.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "updatelist/release_objects.h"

namespace vmrk {

// One row to fetch: its place in the run and what it must become.
struct WantedFile {
  size_t row = 0;                     // 0-based
  ContentId target;                   // the manifest's
  std::optional<ContentId> installed; // the installed file's, when there is one
};

enum class Source {
  kPackage,  // a frame of a package used: the delta package's (a patch, or a new file's copy) or the full one's
  kCopy,     // the file's compressed copy on its own
  kItself,   // the file as it is, named by its content (a release of release.sig)
  kPlain,    // the file at its location below vmrkxupdate/
};

struct RowPlan {
  size_t row = 0;
  // The sources in the order they are tried; always ends with kPlain.
  std::vector<Source> chain;
  size_t frame = 0;  // kPackage: index into the package's frames
  size_t copy = 0;   // kCopy: index into the index's copies
  size_t pack = 0;   // kPackage: which of FetchPlan::packages
};

// A request for one stretch of a package: `length` bytes from `first`,
// which touch frames [firstFrame, endFrame). Unless joinsNext, its last
// frame ends with it; with it, the next range (of the same package)
// continues that frame, and the two stage together once both arrived.
struct PackageRange {
  std::uint64_t first = 0, length = 0;
  size_t firstFrame = 0, endFrame = 0;
  size_t pack = 0;     // which of FetchPlan::packages
  bool whole = false;  // the whole package: asked for without a range
  bool joinsNext = false;
};

struct FetchPlan {
  std::vector<RowPlan> rows;         // in the order of `wanted`
  std::vector<size_t> packages;      // the packages used (into the index's), the delta package first
  std::vector<PackageRange> ranges;  // their stretches, package by package
};

// Needed frames closer than this are fetched as one: at 20 Mbit/s and 80 ms
// of round trip, 64 KiB cost less than the request that would skip them.
inline constexpr std::uint64_t kRangeGapBytes = 64 << 10;
// Never more ranges than transfers run at once, each as short as that
// allows, but none cut shorter than this: less is not worth its request.
inline constexpr size_t kMaxRanges = 6;
inline constexpr std::uint64_t kLeastSplitStretch = 256 << 10;

// Takes the one delta package whose patches apply to the most installed
// files (an installation is at one earlier release; files of others fall to
// their copies), and in it every frame some row can use. When more rows
// than kMaxRanges would still come one request each, they come from the
// release's full package (a package of whole frames only) instead, in at
// most kMaxRanges stretches: the requests are bounded by the release, not
// by its files. contentNamed: the release came by release.sig, which
// publishes each file by its content either as itself or, when that is
// smaller, as its copy (PublishedAsItself): that one comes before the plain
// file, which stays the last resort.
FetchPlan PlanFetch(const std::vector<WantedFile>& wanted, const ObjectIndex& index, bool contentNamed = false);

// The stretches staged together with `stretch`: the first and last of those
// joined to it by frames cut between them (itself alone when none is).
std::pair<size_t, size_t> StretchChain(const FetchPlan& plan, size_t stretch);

// A package of whole frames only: a release's full package (or a delta
// package from a release that shares no file with this one).
bool IsFullPackage(const DeltaPackage& package);

}  // namespace vmrk
