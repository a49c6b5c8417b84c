// Which transfer of an update starts next, on which downloader, and what
// becomes of a row when its source fails: the queue, the slots, each row's
// record (its plan, its place in its fallback chain, where it is staged) and
// the bytes counted for the progress strip. Pure: no downloader, file or
// clock. The run does the I/O and tells the scheduler what happened; every
// call here is a decision the tests can replay event by event.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "install/fetch_plan.h"
#include "install/server_order.h"
#include "updatelist/release_objects.h"

namespace vmrk {

// Where a row of the table stands; the window turns it into the status
// column's text.
struct RowStatus {
  enum Kind { kWaiting, kFetching, kRetrying, kStaged, kFailed } kind = kWaiting;
  int percent = 0;             // kFetching
  int attempt = 0, tries = 0;  // kRetrying: "attempt of tries"
  friend bool operator==(const RowStatus&, const RowStatus&) = default;
};

// One transfer: what a slot's downloader is fetching.
struct FetchJob {
  enum class Kind {
    kList,      // list.txt
    kManifest,  // its signature
    kIndex,     // the object index
    kPlain,     // a row's file at its location
    kItself,    // a row's file named by its content
    kCopy,      // a row's compressed copy
    kPackage,   // one stretch of the delta package, bringing several rows
  };
  Kind kind = Kind::kPlain;
  size_t index = 0;         // the row (kPlain, kItself, kCopy) or the stretch (kPackage)
  std::uint64_t bytes = 0;  // what it brings, which also bounds it
  size_t server = 0;        // asked of; chosen when it starts
  ServerSet tried = 0;      // the servers that failed it before
  friend bool operator==(const FetchJob&, const FetchJob&) = default;
};

// Everything the run knows of one row while the release is fetched.
struct RowFetch {
  static constexpr size_t kNoPlan = static_cast<size_t>(-1);
  size_t plan = kNoPlan;  // into FetchPlan::rows
  size_t step = 0;        // its source: plan's chain[step]
  bool staged = false;
  std::string stagedPath;                // where, when not in the row's own transfer folder
  std::optional<ContentId> installed;    // the installed file's, once hashed
  RowStatus status;
};

class FetchScheduler {
 public:
  // The downloaders it may use at once, slots 0 and up.
  void SetSlots(size_t slots);
  // A fresh fetch of rows of these lengths (the plain files'): every row
  // waits, nothing is queued, planned or counted. Running transfers stay.
  void SetRows(const std::vector<std::uint64_t>& rowLengths);
  // Lets go of every transfer and everything queued: the slots that ran a
  // job, in order, for the run to stop their downloaders.
  std::vector<size_t> StopAll();

  // A transfer begun outside the queue (the list, the manifest, the index),
  // on a slot below SetSlots'.
  void Assign(size_t slot, FetchJob job);
  // Starts what is queued, in order, on the free slots, lowest first, each
  // on the first server of the run's order it has not tried: the pairs the
  // run must begin now.
  std::vector<std::pair<size_t, FetchJob>> TakeStarts();
  // The job the slot ran, which is its own no longer; nullopt when it ran
  // none (an event after the run let go of it).
  std::optional<FetchJob> Release(size_t slot);
  const FetchJob* JobOf(size_t slot) const;
  // The slot running a job of this kind, if one does.
  std::optional<size_t> SlotOf(FetchJob::Kind kind) const;

  // Queues the plan's transfers: the package's stretches first (the most
  // rows per request), then each row whose chain starts elsewhere. Rows
  // staged already are not in the plan.
  void Plan(FetchPlan plan, const ObjectIndex* objects);
  bool planned() const { return planned_; }
  const FetchPlan& plan() const { return plan_; }
  // The rows a stretch still brings: planned from the package now, not
  // staged. A row that fell back is no longer the stretch's.
  std::vector<size_t> RowsOfStretch(size_t stretch) const;
  // The row's current source failed: it moves to the next of its chain,
  // which is queued; that source. A plain file is the last of every chain:
  // it has nothing to fall back to, and the run ends.
  Source FallBack(size_t row);
  // The job failed at its server, which is asked last from now on. True,
  // with the job marked as having tried it, when a server it has not tried
  // remains: the same job goes there before its row falls back.
  bool AnotherServer(FetchJob& job);
  // A job of the queue's kinds that AnotherServer kept: first in the queue,
  // its bytes planned again.
  void Requeue(const FetchJob& job);
  ServerOrder& servers() { return servers_; }
  const ServerOrder& servers() const { return servers_; }
  // The job failed and brings nothing: its bytes leave the planned total.
  void Failed(const FetchJob& job);
  // Stretch `stretch` failed for good: every stretch joined to it by a cut
  // frame is of no use without it and is let go too, queued or running,
  // its bytes leaving the planned total. The slots that ran one, for the
  // run to stop their downloaders; the rows are the run's to fall back.
  std::vector<size_t> DropChain(size_t stretch);
  // The job arrived: its bytes count as done.
  void Arrived(const FetchJob& job);
  void Progress(size_t slot, float fraction);

  RowFetch& row(size_t i) { return rows_[i]; }
  const RowFetch& row(size_t i) const { return rows_[i]; }
  size_t rowCount() const { return rows_.size(); }
  // Counts the row staged once, however often it is told.
  void Staged(size_t row);
  size_t stagedRows() const { return stagedRows_; }
  bool AllStaged() const { return stagedRows_ == rows_.size(); }
  // The first row (0-based) not yet staged, if any.
  std::optional<size_t> FirstUnstaged() const;
  // Done of planned, per mille, counting each running job's fraction; 1000
  // with nothing planned and every row staged.
  int ProgressPerMille() const;

 private:
  void Enqueue(size_t row);

  struct Slot {
    std::optional<FetchJob> job;
    float fraction = 0;
  };
  ServerOrder servers_;
  std::vector<std::uint64_t> rowLengths_;
  std::vector<RowFetch> rows_;
  std::vector<Slot> slots_;
  std::deque<FetchJob> queue_;
  FetchPlan plan_;
  std::vector<std::uint64_t> copyLengths_;  // each compressed copy's frame
  bool planned_ = false;
  size_t stagedRows_ = 0;
  std::uint64_t bytesPlanned_ = 0, bytesDone_ = 0;
};

}  // namespace vmrk
