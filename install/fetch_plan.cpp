#include "install/fetch_plan.h"

#include <algorithm>

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

}  // namespace

FetchPlan PlanFetch(const std::vector<WantedFile>& wanted, const ObjectIndex& index, bool contentNamed) {
  FetchPlan plan;
  size_t bestCount = 0;
  for (size_t p = 0; p < index.packages.size(); ++p) {
    size_t count = 0;
    for (const WantedFile& w : wanted)
      count += std::any_of(index.packages[p].frames.begin(), index.packages[p].frames.end(),
                           [&](const ObjectFrame& f) { return Applies(f, w); });
    if (count > bestCount) {
      bestCount = count;
      plan.package = p;
    }
  }

  std::vector<bool> needed(plan.package ? index.packages[*plan.package].frames.size() : 0);
  for (const WantedFile& w : wanted) {
    RowPlan row{w.row};
    if (plan.package) {
      if (std::optional<size_t> f = FrameFor(index.packages[*plan.package], w)) {
        row.chain.push_back(Source::kPackage);
        row.frame = *f;
        needed[*f] = true;
      }
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
  if (!plan.package) return plan;

  // Runs of needed frames, then the closest runs joined until few enough.
  const std::vector<ObjectFrame>& frames = index.packages[*plan.package].frames;
  for (size_t f = 0; f < frames.size(); ++f) {
    if (!needed[f]) continue;
    if (!plan.ranges.empty() && plan.ranges.back().endFrame == f) {
      plan.ranges.back().endFrame = f + 1;
      plan.ranges.back().length += frames[f].length;
    } else {
      plan.ranges.push_back({frames[f].offset, frames[f].length, f, f + 1});
    }
  }
  auto gapAfter = [&](size_t r) {
    return plan.ranges[r + 1].first - (plan.ranges[r].first + plan.ranges[r].length);
  };
  while (plan.ranges.size() > 1) {
    size_t closest = 0;
    for (size_t r = 1; r + 1 < plan.ranges.size(); ++r)
      if (gapAfter(r) < gapAfter(closest)) closest = r;
    if (gapAfter(closest) > kRangeGapBytes && plan.ranges.size() <= kMaxRanges) break;
    PackageRange& joined = plan.ranges[closest];
    const PackageRange& next = plan.ranges[closest + 1];
    joined.length = next.first + next.length - joined.first;
    joined.endFrame = next.endFrame;
    plan.ranges.erase(plan.ranges.begin() + static_cast<std::ptrdiff_t>(closest) + 1);
  }
  const std::uint64_t packageLength = index.packages[*plan.package].length;
  plan.wholePackage = plan.ranges.size() == 1 && plan.ranges[0].first == 0 && plan.ranges[0].length == packageLength;
  return plan;
}

}  // namespace vmrk
