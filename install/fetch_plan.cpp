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

// Runs of needed frames of package `pack`, then the closest runs joined
// until few enough.
void AddStretches(const DeltaPackage& package, const std::vector<bool>& needed, size_t pack, FetchPlan& plan) {
  std::vector<PackageRange> ranges;
  const std::vector<ObjectFrame>& frames = package.frames;
  for (size_t f = 0; f < frames.size(); ++f) {
    if (!needed[f]) continue;
    if (!ranges.empty() && ranges.back().endFrame == f) {
      ranges.back().endFrame = f + 1;
      ranges.back().length += frames[f].length;
    } else {
      ranges.push_back({frames[f].offset, frames[f].length, f, f + 1, pack});
    }
  }
  auto gapAfter = [&](size_t r) { return ranges[r + 1].first - (ranges[r].first + ranges[r].length); };
  while (ranges.size() > 1) {
    size_t closest = 0;
    for (size_t r = 1; r + 1 < ranges.size(); ++r)
      if (gapAfter(r) < gapAfter(closest)) closest = r;
    if (gapAfter(closest) > kRangeGapBytes && ranges.size() <= kMaxRanges) break;
    PackageRange& joined = ranges[closest];
    const PackageRange& next = ranges[closest + 1];
    joined.length = next.first + next.length - joined.first;
    joined.endFrame = next.endFrame;
    ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(closest) + 1);
  }
  // Each stretch is one connection's, and a path often limits each flow (a
  // window over the round trip) rather than all of them together: long
  // stretches are cut, at the frame boundaries nearest equal shares, into as
  // many pieces as transfers run at once, so that they share the bytes. Each
  // further piece goes to the stretch with the longest pieces; a piece
  // shorter than kLeastSplitStretch is not worth its request.
  std::vector<size_t> pieces(ranges.size(), 1);
  for (size_t total = ranges.size(); total < kMaxRanges; ++total) {
    size_t most = 0;
    for (size_t r = 1; r < ranges.size(); ++r)
      if (ranges[r].length * pieces[most] > ranges[most].length * pieces[r]) most = r;
    if (ranges[most].length / (pieces[most] + 1) < kLeastSplitStretch) break;
    ++pieces[most];
  }
  std::vector<PackageRange> shared;
  for (size_t r = 0; r < ranges.size(); ++r) {
    const PackageRange& whole = ranges[r];
    size_t from = whole.firstFrame;
    for (size_t cut = 1; cut < pieces[r]; ++cut) {
      // The first boundary at or past this share's end, or the one before
      // it when that is nearer; never an empty piece.
      const std::uint64_t target = whole.first + whole.length * cut / pieces[r];
      size_t k = from + 1;
      while (k < whole.endFrame && frames[k].offset < target) ++k;
      if (k > from + 1 && (k == whole.endFrame || target - frames[k - 1].offset < frames[k].offset - target))
        --k;
      if (k >= whole.endFrame) break;
      // Frames are not cut: where they make a piece or the rest too short,
      // this share joins the next.
      const std::uint64_t piece = frames[k].offset - frames[from].offset;
      if (piece < kLeastSplitStretch || whole.first + whole.length - frames[k].offset < kLeastSplitStretch) continue;
      shared.push_back({frames[from].offset, piece, from, k, pack});
      from = k;
    }
    shared.push_back({frames[from].offset, whole.first + whole.length - frames[from].offset, from, whole.endFrame, pack});
  }
  ranges = std::move(shared);
  if (ranges.size() == 1 && ranges[0].first == 0 && ranges[0].length == package.length) ranges[0].whole = true;
  plan.ranges.insert(plan.ranges.end(), ranges.begin(), ranges.end());
}

}  // namespace

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
