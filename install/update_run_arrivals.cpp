// UpdateRun: what each transfer brings, or why it failed. A file arrives
// whole, named by its content, as its compressed copy or in a stretch of a
// package; its rows are staged, asked of another server, or sent down their
// chains. The rest of the road is in update_run.cpp.
#include <algorithm>

#include "install/staging.h"
#include "install/update_run.h"
#include "platform/file_time.h"
#include "platform/files.h"

namespace vmrk {

void UpdateRun::SlotFinished(size_t slot) {
  std::optional<FetchJob> taken = fetch_.Release(slot);
  if (!taken) return;  // an event after the run let go of the transfer
  const FetchJob job = *taken;
  Downloader& dl = DownloaderOf(slot);
  switch (job.kind) {
    case FetchJob::Kind::kList: ListArrived(job); return;
    case FetchJob::Kind::kManifest:
      if (road_ == Road::kWalkingRoots) RootArrived(job);
      else if (road_ == Road::kAskingRelease) ReleaseManifestArrived(slot, job);
      else ManifestArrived();
      return;
    case FetchJob::Kind::kIndex: ObjectIndexArrived(slot, job, true); return;
    case FetchJob::Kind::kPlain:
      fetch_.Arrived(job);
      if (PlainArrived(slot, job, dl.SavedFileName(), dl.SavedFileSha256()))
        RowStaged(job.index, "fetched whole" + FromServer(job.server));
      else if (phase_ == Phase::kEnded)
        return;
      break;
    case FetchJob::Kind::kItself: {
      fetch_.Arrived(job);
      // An object that is not what its name says is a longer way round, not
      // the end: the plain file is still there to try.
      const ManifestFile& expected = signedFiles_.at(rows_[job.index].location);
      Result<std::uint64_t> length = platform::FileLength(dl.SavedFileName());
      if (!length.ok() || *length != expected.length || dl.SavedFileSha256() != expected.sha256) {
        platform::RemoveFile(dl.SavedFileName()).IgnoreError();
        const std::string why = "the file named by its content is not the one the manifest names";
        if (!TryAnotherServer(slot, job, why)) FallBack(job.index, why);
        break;
      }
      // Staged under the row's own name, as a plain file arrives.
      if (Status named = platform::RenameReplacing(dl.SavedFileName(), StagedPath(job.index)); !named.ok()) {
        Log("cannot stage " + RowName(job.index) + ": " + named.message());
        End(Outcome::kCannotWrite, "failed, cannot write here");
        return;
      }
      RowStaged(job.index, "fetched whole, named by its content" + FromServer(job.server));
      break;
    }
    case FetchJob::Kind::kCopy:
      fetch_.Arrived(job);
      CopyArrived(job, dl.SavedFileName());
      break;
    case FetchJob::Kind::kPackage:
      fetch_.Arrived(job);
      PackageArrived(job, dl.SavedFileName());
      break;
  }
  Pump();
}

bool UpdateRun::PlainArrived(size_t slot, const FetchJob& job, const std::string& staged, const std::string& sha256) {
  const size_t index = job.index;
  const FileRow& row = rows_[index];
  // A file of another length than the list's did not arrive whole: it is a
  // failed transfer, and nothing of it is installed.
  Result<std::uint64_t> measured = platform::FileLength(staged);
  const std::uint64_t length = measured.ok() ? *measured : 0;  // what cannot be looked at did not arrive
  if (!measured.ok() || length != static_cast<std::uint64_t>(row.exactSize)) {
    const std::string why = std::to_string(length) + " bytes arrived, the list says " + std::to_string(row.exactSize);
    platform::RemoveFile(staged).IgnoreError();
    if (TryAnotherServer(slot, job, why)) return false;
    Log("failed " + RowName(index) + ": " + why);
    End(Outcome::kTransferFailed, "failed, a file arrived short or long");
    return false;
  }
  // Signed: the very bytes the maintainer published, or nothing of it.
  if (signedRelease_) {
    auto expected = signedFiles_.find(row.location);
    if (expected == signedFiles_.end() || expected->second.length != length || expected->second.sha256 != sha256) {
      platform::RemoveFile(staged).IgnoreError();
      if (TryAnotherServer(slot, job, "not the bytes the manifest names")) return false;
      Log("refused " + RowName(index) + ": not the bytes the manifest names");
      End(Outcome::kFileRefused, "failed, a file is not the one the manifest names");
      return false;
    }
  }
  return true;
}

void UpdateRun::CopyArrived(const FetchJob& job, const std::string& saved) {
  const size_t row = job.index;
  const CompressedCopy& copy = objects_->copies[fetch_.plan().rows[fetch_.row(row).plan].copy];
  StageFrames(job, {{saved, copy.frame.length}}, "the copy is not the length the index names",
              {DecodeTaskFor(row, copy.frame, 0, "from its compressed copy" + FromServer(job.server))},
              "its compressed copy: ");
}

void UpdateRun::PackageArrived(const FetchJob& job, const std::string& saved) {
  const FetchPlan& plan = fetch_.plan();
  const auto [first, last] = StretchChain(plan, job.index);
  std::vector<SavedPart> parts;
  if (first == last) {
    parts.push_back({saved, plan.ranges[first].length});
  } else {
    // A frame cut between stretches decodes once every part of it is here;
    // each part stays in its own transfer folder till then.
    partsArrived_[job.index] = saved;
    for (size_t s = first; s <= last; ++s)
      if (!partsArrived_.count(s)) return;
    for (size_t s = first; s <= last; ++s) {
      parts.push_back({partsArrived_[s], plan.ranges[s].length});
      partsArrived_.erase(s);
    }
  }
  const PackageRange& range = plan.ranges[first];
  const std::vector<ObjectFrame>& frames = objects_->packages[plan.packages[range.pack]].frames;
  const std::string name = PackageName(range.pack);
  std::vector<DecodeTask> tasks;
  std::vector<size_t> rows;
  for (size_t s = first; s <= last; ++s)
    for (size_t row : fetch_.RowsOfStretch(s))
      if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
  for (size_t row : rows) {
    const ObjectFrame& frame = frames[plan.rows[fetch_.row(row).plan].frame];
    tasks.push_back(DecodeTaskFor(
        row, frame, range.first,
        "from " + name + (frame.patch ? ", patched" : ", whole") + FromServer(job.server)));
  }
  // Parts came from servers of their own: one of them again would not mend
  // the others.
  StageFrames(job, std::move(parts), "the package's bytes are not the length asked for", std::move(tasks),
              name + ": ", first == last);
}

DecodeTask UpdateRun::DecodeTaskFor(size_t row, const ObjectFrame& frame, std::uint64_t firstOffset,
                                    std::string how) const {
  DecodeTask task;
  task.how = std::move(how);
  task.row = row;
  task.about = frame;
  task.firstOffset = firstOffset;
  if (auto expected = signedFiles_.find(rows_[row].location); expected != signedFiles_.end())
    task.expected = ContentId{expected->second.sha256, expected->second.length};
  task.target = rows_[row].where.target;
  task.folder = RowStagingFolder(row + 1);
  task.staged = StagedPath(row);
  return task;
}

void UpdateRun::StageFrames(const FetchJob& job, std::vector<SavedPart> parts, const char* wrongLength,
                            std::vector<DecodeTask> tasks, const std::string& source, bool retry) {
  auto shared = std::make_shared<std::vector<DecodeTask>>(std::move(tasks));
  Background([shared, parts = std::move(parts), wrongLength] { DecodeSaved(parts, wrongLength, *shared); },
             [this, shared, source, job, retry] {
               std::vector<const DecodeTask*> failed;
               for (const DecodeTask& task : *shared) {
                 if (task.outcome.ok()) RowStaged(task.row, task.how);
                 else failed.push_back(&task);
               }
               // Bytes that do not decode to the manifest's file are the
               // server's fault as much as a failed transfer: the same
               // object again from another, for the rows it failed.
               if (!failed.empty() && !(retry && TryAnotherServer(0, job, source + failed.front()->outcome.message())))
                 for (const DecodeTask* task : failed) FallBack(task->row, source + task->outcome.message());
               Pump();
             });
}

void UpdateRun::SlotFailed(size_t slot, std::int32_t code) {
  const FetchJob* running = fetch_.JobOf(slot);
  if (running == nullptr) return;
  const FetchJob job = *running;
  if (job.kind == FetchJob::Kind::kManifest && road_ == Road::kWalkingRoots) {
    RootFailed(job, code);
    return;
  }
  if (job.kind == FetchJob::Kind::kList || job.kind == FetchJob::Kind::kManifest) {
    ListOrManifestFailed(slot, job, code);
    return;
  }
  fetch_.Release(slot);
  if (job.kind == FetchJob::Kind::kIndex) {
    IndexFailed(slot, job, code);
    return;
  }
  const std::string detail = DownloaderOf(slot).FailureDetail();
  const std::string what = "code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail);
  fetch_.Failed(job);  // not coming: the strip measures what still may
  if (code != kCannotWriteLocally && TryAnotherServer(slot, job, "transfer failed: " + what)) {
    Pump();
    return;
  }
  if (job.kind == FetchJob::Kind::kPlain || code == kCannotWriteLocally) {
    Log("transfer failed while fetching " + RowName(job.index) + ": " + what);
    // Not the network's fault: saying so would send the user to the firewall.
    if (code == kCannotWriteLocally) End(Outcome::kCannotWrite, "failed, cannot write here");
    else End(Outcome::kTransferFailed, "failed, the transfer failed");
    return;
  }
  // An object that cannot be had is only a longer way round.
  if (job.kind == FetchJob::Kind::kItself) {
    FallBack(job.index, "the file named by its content could not be fetched (" + what + ")");
  } else if (job.kind == FetchJob::Kind::kCopy) {
    FallBack(job.index, "its compressed copy could not be fetched (" + what + ")");
  } else {
    // Every stretch joined to it by a cut frame falls back with it: their
    // frames would wait for it for ever, and those still coming are
    // stopped, their slots free for the rows' copies.
    const std::string name = PackageName(fetch_.plan().ranges[job.index].pack);
    const auto [first, last] = StretchChain(fetch_.plan(), job.index);
    for (size_t stopped : fetch_.DropChain(job.index)) DownloaderOf(stopped).AbortDownload();
    for (size_t s = first; s <= last; ++s) {
      for (size_t row : fetch_.RowsOfStretch(s)) FallBack(row, name + " could not be fetched (" + what + ")");
      if (auto part = partsArrived_.find(s); part != partsArrived_.end()) {
        platform::RemoveFile(part->second).IgnoreError();
        partsArrived_.erase(part);
      }
    }
  }
  Pump();
}

}  // namespace vmrk
