#include "install/fetch_scheduler.h"

#include <algorithm>

namespace vmrk {

void FetchScheduler::SetSlots(size_t slots) { slots_.resize(std::max<size_t>(slots, 1)); }

void FetchScheduler::SetRows(const std::vector<std::uint64_t>& rowLengths) {
  rowLengths_ = rowLengths;
  rows_.assign(rowLengths.size(), RowFetch{});
  queue_.clear();
  plan_ = {};
  copyLengths_.clear();
  planned_ = false;
  stagedRows_ = 0;
  bytesPlanned_ = bytesDone_ = 0;
}

std::vector<size_t> FetchScheduler::StopAll() {
  queue_.clear();
  std::vector<size_t> running;
  for (size_t s = 0; s < slots_.size(); ++s) {
    if (slots_[s].job) running.push_back(s);
    slots_[s] = Slot{};
  }
  return running;
}

void FetchScheduler::Assign(size_t slot, FetchJob job) {
  if (slot < slots_.size()) slots_[slot] = Slot{job, 0};
}

std::vector<std::pair<size_t, FetchJob>> FetchScheduler::TakeStarts() {
  std::vector<std::pair<size_t, FetchJob>> starts;
  for (size_t s = 0; s < slots_.size() && !queue_.empty(); ++s) {
    if (slots_[s].job) continue;
    FetchJob job = queue_.front();
    queue_.pop_front();
    job.server = servers_.Next(job.tried).value_or(0);
    slots_[s] = Slot{job, 0};
    starts.emplace_back(s, *slots_[s].job);
  }
  return starts;
}

std::optional<FetchJob> FetchScheduler::Release(size_t slot) {
  if (slot >= slots_.size() || !slots_[slot].job) return std::nullopt;
  std::optional<FetchJob> job = slots_[slot].job;
  slots_[slot] = Slot{};
  return job;
}

const FetchJob* FetchScheduler::JobOf(size_t slot) const {
  return slot < slots_.size() && slots_[slot].job ? &*slots_[slot].job : nullptr;
}

std::optional<size_t> FetchScheduler::SlotOf(FetchJob::Kind kind) const {
  for (size_t s = 0; s < slots_.size(); ++s)
    if (slots_[s].job && slots_[s].job->kind == kind) return s;
  return std::nullopt;
}

void FetchScheduler::Plan(FetchPlan plan, const ObjectIndex* objects) {
  plan_ = std::move(plan);
  planned_ = true;
  copyLengths_.clear();
  if (objects != nullptr)
    for (const CompressedCopy& copy : objects->copies) copyLengths_.push_back(copy.frame.length);
  for (size_t p = 0; p < plan_.rows.size(); ++p) {
    RowFetch& row = rows_[plan_.rows[p].row];
    row.plan = p;
    row.step = 0;
  }
  for (size_t r = 0; r < plan_.ranges.size(); ++r) {
    queue_.push_back({FetchJob::Kind::kPackage, r, plan_.ranges[r].length});
    bytesPlanned_ += plan_.ranges[r].length;
  }
  for (const RowPlan& row : plan_.rows)
    if (row.chain.front() != Source::kPackage) Enqueue(row.row);
}

void FetchScheduler::Enqueue(size_t index) {
  const RowFetch& row = rows_[index];
  const RowPlan& plan = plan_.rows[row.plan];
  FetchJob job{FetchJob::Kind::kPlain, index, rowLengths_[index]};
  switch (plan.chain[row.step]) {
    case Source::kPackage: return;  // comes with its stretch
    case Source::kCopy:
      job.kind = FetchJob::Kind::kCopy;
      job.bytes = copyLengths_.at(plan.copy);
      break;
    case Source::kItself: job.kind = FetchJob::Kind::kItself; break;
    case Source::kPlain: break;
  }
  bytesPlanned_ += job.bytes;
  queue_.push_back(job);
}

std::vector<size_t> FetchScheduler::RowsOfStretch(size_t stretch) const {
  std::vector<size_t> rows;
  if (stretch >= plan_.ranges.size()) return rows;
  const PackageRange& range = plan_.ranges[stretch];
  for (const RowPlan& plan : plan_.rows) {
    const RowFetch& row = rows_[plan.row];
    if (!row.staged && plan.chain[row.step] == Source::kPackage && plan.pack == range.pack &&
        plan.frame >= range.firstFrame && plan.frame < range.endFrame)
      rows.push_back(plan.row);
  }
  return rows;
}

Source FetchScheduler::FallBack(size_t index) {
  RowFetch& row = rows_[index];
  const RowPlan& plan = plan_.rows[row.plan];
  if (row.step + 1 < plan.chain.size()) ++row.step;
  Enqueue(index);
  return plan.chain[row.step];
}

bool FetchScheduler::AnotherServer(FetchJob& job) {
  servers_.Failed(job.server);
  job.tried |= ServerBit(job.server);
  return servers_.Next(job.tried).has_value();
}

void FetchScheduler::Requeue(const FetchJob& job) {
  bytesPlanned_ += job.bytes;
  queue_.push_front(job);
}

void FetchScheduler::Failed(const FetchJob& job) { bytesPlanned_ -= std::min(bytesPlanned_, job.bytes); }

std::vector<size_t> FetchScheduler::DropChain(size_t stretch) {
  const auto [first, last] = StretchChain(plan_, stretch);
  auto inChain = [&, first = first, last = last](const FetchJob& job) {
    return job.kind == FetchJob::Kind::kPackage && job.index >= first && job.index <= last && job.index != stretch;
  };
  for (auto job = queue_.begin(); job != queue_.end();) {
    if (!inChain(*job)) {
      ++job;
      continue;
    }
    Failed(*job);
    job = queue_.erase(job);
  }
  std::vector<size_t> stopped;
  for (size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].job || !inChain(*slots_[s].job)) continue;
    Failed(*slots_[s].job);
    slots_[s] = Slot{};
    stopped.push_back(s);
  }
  return stopped;
}

void FetchScheduler::Arrived(const FetchJob& job) { bytesDone_ += job.bytes; }

void FetchScheduler::Progress(size_t slot, float fraction) {
  if (slot < slots_.size() && slots_[slot].job) slots_[slot].fraction = fraction;
}

void FetchScheduler::Staged(size_t index) {
  if (rows_[index].staged) return;
  rows_[index].staged = true;
  ++stagedRows_;
}

std::optional<size_t> FetchScheduler::FirstUnstaged() const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (!rows_[i].staged) return i;
  return std::nullopt;
}

int FetchScheduler::ProgressPerMille() const {
  if (bytesPlanned_ == 0) return AllStaged() ? 1000 : 0;
  double done = static_cast<double>(bytesDone_);
  for (const Slot& slot : slots_)
    if (slot.job && slot.job->kind != FetchJob::Kind::kList && slot.job->kind != FetchJob::Kind::kManifest &&
        slot.job->kind != FetchJob::Kind::kIndex)
      done += static_cast<double>(slot.fraction) * static_cast<double>(slot.job->bytes);
  return static_cast<int>(std::min(1000.0, done * 1000.0 / static_cast<double>(bytesPlanned_)));
}

}  // namespace vmrk
