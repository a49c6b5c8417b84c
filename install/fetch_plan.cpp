#include "install/fetch_plan.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace vmrk {
namespace {

bool Applies(const ObjectFrame& frame, const WantedFile& w) {
  return frame.patch && frame.file == w.target && w.installed && frame.base == *w.installed;
}

std::optional<size_t> FrameFor(const DeltaPackage& package, const WantedFile& w) {
  std::optional<size_t> whole;
  for (size_t f = 0; f < package.frames.size(); ++f) {
    if (Applies(package.frames[f], w)) return f;
    if (!whole && !package.frames[f].patch && package.frames[f].file == w.target) whole = f;
  }
  return whole;
}

// The needed frames of package `pack`, fetched in at most kMaxRanges byte
// ranges with the longest as short as it can be: each range is one
// connection's, and a path often limits each flow (a window over the round
// trip) rather than all of them together, so the slowest range is the
// fetch's time. Needed runs closer than kRangeGapBytes are one run (the gap
// costs less than a request); a wider gap is crossed only when there are
// more runs than ranges. A range covers what it can from its start within
// the length, and ends at a frame boundary when one lies in its last
// quarter (then its frames stage as soon as it arrives); else inside a
// frame, which the next range continues (joinsNext). No range is cut
// shorter than kLeastSplitStretch.
void AddStretches(const DeltaPackage& package, const std::vector<bool>& needed, size_t pack, FetchPlan& plan) {
  const std::vector<ObjectFrame>& frames = package.frames;
  struct Run {
    std::uint64_t first, end;
    size_t firstFrame, endFrame;
  };
  std::vector<Run> runs;
  for (size_t f = 0; f < frames.size(); ++f) {
    if (!needed[f]) continue;
    const std::uint64_t end = frames[f].offset + frames[f].length;
    if (!runs.empty() && frames[f].offset - runs.back().end < kRangeGapBytes) {
      runs.back().end = end;
      runs.back().endFrame = f + 1;
    } else {
      runs.push_back({frames[f].offset, end, f, f + 1});
    }
  }
  if (runs.empty()) return;
  // The frame holding byte `at` (the last whose offset is at or before it).
  auto frameAt = [&](std::uint64_t at) {
    auto next = std::upper_bound(frames.begin(), frames.end(), at,
                                 [](std::uint64_t a, const ObjectFrame& f) { return a < f.offset; });
    return static_cast<size_t>(next - frames.begin()) - 1;
  };
  // The ranges of longest `most` bytes, greedily from the first needed byte.
  const bool crossGaps = runs.size() > kMaxRanges;
  auto cover = [&](std::uint64_t most) {
    std::vector<PackageRange> ranges;
    size_t run = 0;
    std::uint64_t start = runs[0].first;
    while (run < runs.size()) {
      const std::uint64_t limit = start + most;
      size_t last = run;  // the last run the range reaches
      while (crossGaps && last + 1 < runs.size() && runs[last + 1].first < limit) ++last;
      std::uint64_t end = std::min(runs[last].end, limit);
      if (end < runs[last].end) {
        // Cut inside run `last`: at the latest frame boundary in the last
        // quarter, if there is one (the run's own start ends the range at
        // the run before).
        const std::uint64_t earliest = std::max(start + most - most / 4, start + kLeastSplitStretch);
        const size_t inside = frameAt(end);
        if (frames[inside].offset >= earliest && frames[inside].offset > start) {
          end = frames[inside].offset;
          if (end == runs[last].first) end = runs[--last].end;
        }
        // A tail too short to be a piece of its own goes with this range
        // when the range stays within `most`; otherwise this range leaves
        // it a piece's length. A tail that always joined made the last range
        // the longest, and the whole fetch waits for the longest.
        if (runs[last].end - end < kLeastSplitStretch) {
          const std::uint64_t rest = runs[last].end - start;
          end = rest > most && rest >= 2 * kLeastSplitStretch ? runs[last].end - kLeastSplitStretch : runs[last].end;
        }
      }
      PackageRange range{start, end - start, frameAt(start), frameAt(end - 1) + 1, pack};
      range.joinsNext = end < runs[last].end && frames[frameAt(end)].offset != end;
      ranges.push_back(range);
      if (end < runs[last].end) {
        run = last;
        start = end;
      } else if ((run = last + 1) < runs.size()) {
        start = runs[run].first;
      }
    }
    return ranges;
  };
  // The least longest range that needs no more than kMaxRanges.
  std::uint64_t lo = kLeastSplitStretch, hi = std::max(lo, runs.back().end - runs.front().first);
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (cover(mid).size() <= kMaxRanges) hi = mid;
    else lo = mid + 1;
  }
  std::vector<PackageRange> ranges = cover(lo);
  if (ranges.size() == 1 && ranges[0].first == 0 && ranges[0].length == package.length) ranges[0].whole = true;
  plan.ranges.insert(plan.ranges.end(), ranges.begin(), ranges.end());
}

}  // namespace

std::pair<size_t, size_t> StretchChain(const FetchPlan& plan, size_t stretch) {
  size_t first = stretch, last = stretch;
  while (first > 0 && plan.ranges[first - 1].joinsNext) --first;
  while (last + 1 < plan.ranges.size() && plan.ranges[last].joinsNext) ++last;
  return {first, last};
}

bool IsFullPackage(const DeltaPackage& package) {
  return !package.frames.empty() &&
         std::none_of(package.frames.begin(), package.frames.end(), [](const ObjectFrame& f) { return f.patch; });
}

FetchPlan PlanFetch(const std::vector<WantedFile>& wanted, const ObjectIndex& index, bool contentNamed) {
  FetchPlan plan;
  std::optional<size_t> delta, full;
  size_t bestCount = 0;
  for (size_t p = 0; p < index.packages.size(); ++p) {
    // A delta package from a release that shares no file is whole frames
    // too: the one with the most frames is the release's own.
    if (IsFullPackage(index.packages[p]) &&
        (!full || index.packages[p].frames.size() > index.packages[*full].frames.size()))
      full = p;
    size_t count = 0;
    for (const WantedFile& w : wanted)
      count += std::any_of(index.packages[p].frames.begin(), index.packages[p].frames.end(),
                           [&](const ObjectFrame& f) { return Applies(f, w); });
    if (count > bestCount) {
      bestCount = count;
      delta = p;
    }
  }

  // Each row's frame in the delta package, if it has one there.
  std::vector<std::optional<size_t>> deltaFrame(wanted.size());
  size_t single = 0;  // rows that would come one request each: from the full package instead, if many
  std::vector<std::optional<size_t>> fullFrame(wanted.size());
  std::unordered_map<std::string, size_t> fullFrames;  // by the file's sha256: thousands of rows, thousands of frames
  if (full)
    for (size_t f = index.packages[*full].frames.size(); f-- > 0;)
      fullFrames[index.packages[*full].frames[f].file.sha256] = f;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (delta) deltaFrame[i] = FrameFor(index.packages[*delta], wanted[i]);
    if (deltaFrame[i] || !full) continue;
    if (auto f = fullFrames.find(wanted[i].target.sha256);
        f != fullFrames.end() && index.packages[*full].frames[f->second].file == wanted[i].target)
      fullFrame[i] = f->second;
    single += fullFrame[i].has_value();
  }
  const bool useFull = single > kMaxRanges;
  if (delta) plan.packages.push_back(*delta);
  if (useFull) plan.packages.push_back(*full);

  std::vector<std::vector<bool>> needed(plan.packages.size());
  for (size_t p = 0; p < plan.packages.size(); ++p) needed[p].resize(index.packages[plan.packages[p]].frames.size());
  for (size_t i = 0; i < wanted.size(); ++i) {
    const WantedFile& w = wanted[i];
    RowPlan row{w.row};
    if (deltaFrame[i]) {
      row.chain.push_back(Source::kPackage);
      row.frame = *deltaFrame[i];
      needed[0][*deltaFrame[i]] = true;
    } else if (useFull && fullFrame[i]) {
      row.chain.push_back(Source::kPackage);
      row.frame = *fullFrame[i];
      row.pack = plan.packages.size() - 1;
      needed.back()[*fullFrame[i]] = true;
    }
    const CompressedCopy* copy = CopyOf(index, w.target);
    if (contentNamed && PublishedAsItself(&index, w.target)) {
      row.chain.push_back(Source::kItself);
    } else if (copy != nullptr) {
      row.chain.push_back(Source::kCopy);
      row.copy = static_cast<size_t>(copy - index.copies.data());
    }
    row.chain.push_back(Source::kPlain);
    plan.rows.push_back(std::move(row));
  }
  for (size_t p = 0; p < plan.packages.size(); ++p) AddStretches(index.packages[plan.packages[p]], needed[p], p, plan);
  return plan;
}

}  // namespace vmrk
