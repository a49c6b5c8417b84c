#include "install/update_run.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "install/file_time_stamp.h"
#include "install/installer.h"
#include "install/leftovers.h"
#include "install/release_transaction.h"
#include "install/staging.h"
#include "install/update_names.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/file_helpers.h"
#include "updatelist/list_check.h"
#include "updatelist/update_list.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

// Far above any real list (100,000 lines are about 12 MB); an endless body
// must end somewhere.
constexpr std::uint64_t kListMaxBytes = 64ull << 20;
// The log names the first offered files; each fetched one has its own line.
constexpr size_t kLoggedOfferedRows = 20;

std::string FileCount(size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

// The journal and a little more, on each volume the release touches.
constexpr std::uint64_t kRoomMargin = 1 << 20;

// The files of the staging folder and the rows' own folders in it. Other
// folders are not the updater's and stay; so does the journal, which only the
// recovery of an interrupted installation removes. One still in use stays
// for the next start.
void EmptyStaging(const std::string& folder, bool top = true) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries).ok()) return;
  const char sep = platform::PathSeparator();
  for (const platform::FolderEntry& entry : entries) {
    const std::string path = folder + sep + entry.name;
    if (entry.isFolder && top && IsTransferFolderName(entry.name)) {
      EmptyStaging(path, false);
      platform::RemoveEmptyFolder(path).IgnoreError();
    } else if (!entry.isFolder && (!top || entry.name != kJournalFile)) {
      platform::RemoveFile(path).IgnoreError();
    }
  }
}

bool IsNetworkFailure(std::int32_t code) {
  return code == kCannotDownload || code == kTooManyRedirects || code == kNoResponse || code == kUnknownFailure;
}

}  // namespace

// The events of the transfers besides DL's, told by slot.
class UpdateRun::SlotEvents : public DownloaderEvents {
 public:
  SlotEvents(UpdateRun* run, size_t slot) : run_(run), slot_(slot) {}
  void DL_Finished(std::int32_t value) override {
    if (value > 0) run_->SlotFinished(slot_);
    run_->Notify();
  }
  void DL_Failed(std::int32_t code, std::int32_t) override {
    run_->SlotFailed(slot_, code);
    run_->Notify();
  }
  void DL_Progress(float fraction, std::int32_t, std::int32_t) override {
    run_->SlotProgress(slot_, fraction);
    run_->Notify();
  }
  void DL_Retrying(std::int32_t attempt, std::int32_t tries) override {
    run_->SlotRetrying(slot_, attempt, tries);
    run_->Notify();
  }

 private:
  UpdateRun* run_;
  size_t slot_;
};

UpdateRun::UpdateRun(UpdateRunServices services) : services_(std::move(services)) {}

UpdateRun::~UpdateRun() = default;

std::string UpdateRun::AppFile(const std::string& name) const {
  return services_.applicationPath + platform::PathSeparator() + name;
}

std::string UpdateRun::StagingFolder() const { return AppFile(kStagingFolderName); }

std::string UpdateRun::RowStagingFolder(size_t k) const {
  return StagingFolder() + platform::PathSeparator() + TransferFolderName(k);
}

InstallPaths UpdateRun::Paths() const { return {services_.applicationPath, WindowsFolder(), services_.runningProgram}; }

std::string UpdateRun::JournalPath() const { return StagingFolder() + platform::PathSeparator() + kJournalFile; }

void UpdateRun::OpenLog() { log_ = UpdateLog(AppFile(kUpdateLogFile)); }

void UpdateRun::Start(const std::string& mode) {
  Log(std::string("start: vmrkxupdate ") + VMRK_VERSION + " in " + services_.applicationPath + mode);
  // Before anything reads the installation: a run killed half way through
  // putting a release in left it neither old nor new.
  std::string recovered;
  const Recovery recovery = RecoverInterruptedRelease(platform::HostFileSystem(), {Paths(), JournalPath()}, &recovered);
  if (recovery != Recovery::kNothing) Log(recovered);
  if (recovery == Recovery::kFailed) {
    // Nothing else may touch the application folder now: the sweep would
    // take the copies that the kept journal still needs to put back.
    End(Outcome::kRepairFailed, "the installation could not be repaired, nothing else was done");
    return;
  }
  if (services_.checkOnly) return;
  const std::string staging = StagingFolder();
  // Each step is skipped when it fails: a staging folder that cannot be
  // made fails the first transfer instead, which says so.
  if (!platform::PathExists(staging)) platform::CreateFolder(staging).IgnoreError();
  EmptyStaging(staging);
  // What an interrupted run left below the application folder; one still in
  // use stays for the next start, and the previous release stays.
  SweepLeftovers(services_.applicationPath, PreviousReleaseBackups(Paths()));
}

void UpdateRun::EndWithoutServer(const std::string& addressFile) {
  End(Outcome::kNoServer, "no address file " + addressFile);
}

void UpdateRun::FetchList(const std::string& serverBase, std::vector<std::string> trustedKeys) {
  serverBase_ = serverBase;
  trustedKeys_ = std::move(trustedKeys);
  Log("server: " + AddressForLog(serverBase_) +
      (trustedKeys_.empty() ? "" : ", signed releases only (" + std::to_string(trustedKeys_.size()) + " trusted keys)"));
  Advance(Phase::kFetchingList);
  services_.DL.BeginDownload(
      {.url = serverBase_ + texts::kServerFolder + texts::kListFile, .saveFolder = services_.applicationPath,
       .maxBytes = kListMaxBytes});
}

bool UpdateRun::FetchFiles() {
  // Offered only after the check added rows; a table emptied since leaves
  // nothing to fetch.
  if (phase_ != Phase::kOffered || rows_.empty()) return false;
  Log("next: " + FileCount(rows_.size()) + " to fetch");
  if (!EnoughRoom()) return true;
  current_ = 1;
  Advance(Phase::kFetchingFiles);
  staged_.assign(rows_.size(), false);
  installed_.assign(rows_.size(), std::nullopt);
  stagedPaths_.assign(rows_.size(), std::string());
  stagedRows_ = 0;
  // The index is on its way (or here) while the installed files are hashed.
  if (signedRelease_ && index_ == IndexFetch::kNotAsked) FetchObjectIndex(services_.DL);
  // A signed release names each file's bytes: one installed as they are is
  // not fetched again, only staged from the installation with the list's
  // time, and goes in with the rest.
  for (size_t i = 0; i < rows_.size(); ++i)
    if (StagedFromInstallation(i)) RowStaged(i, "already installed as signed, not fetched", Stamp::kAlreadyDated);
  if (stagedRows_ == rows_.size()) {
    Pump();  // nothing to fetch: no object is needed either
    return true;
  }
  if (index_ == IndexFetch::kFetching) waitingForIndex_ = true;
  else PlanJobs();
  return true;
}

void UpdateRun::FetchObjectIndex(Downloader& dl) {
  index_ = IndexFetch::kFetching;
  indexDl_ = &dl;
  dl.AbortDownload();
  dl.BeginDownload({.url = serverBase_ + texts::kServerFolder + texts::kListFile + texts::kObjectIndexSuffix,
                    .saveFolder = services_.applicationPath,
                    .maxBytes = kObjectIndexMaxBytes});
}

void UpdateRun::ObjectIndexArrived(bool arrived) {
  if (index_ != IndexFetch::kFetching) return;
  index_ = IndexFetch::kDone;
  std::string text;
  const std::string saved = indexDl_->SavedFileName();
  if (arrived) {
    Status read = platform::ReadWholeFile(saved, &text);
    platform::RemoveFile(saved).IgnoreError();
    ObjectIndex index;
    if (read.ok()) read = ParseObjectIndex(text, &index);
    if (read.ok() && (index.listLength != listBytes_.size() || index.listSha256 != platform::Sha256Bytes(listBytes_)))
      read = Status::Error("it belongs to another list");
    if (read.ok()) {
      Log("object index: " + std::to_string(index.copies.size()) + " compressed copies, " +
          std::to_string(index.packages.size()) + " delta packages");
      objects_ = std::move(index);
    } else {
      Log("object index not used, plain files only: " + read.message());
    }
  }
  if (waitingForIndex_ && phase_ == Phase::kFetchingFiles) {
    waitingForIndex_ = false;
    PlanJobs();
  }
}

void UpdateRun::PlanJobs() {
  std::vector<WantedFile> wanted;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (staged_[i]) continue;
    auto signedFile = signedFiles_.find(rows_[i].location);
    ContentId target;
    if (signedFile != signedFiles_.end()) target = {signedFile->second.sha256, signedFile->second.length};
    wanted.push_back({i, target, installed_[i]});
  }
  if (objects_) {
    plan_ = PlanFetch(wanted, *objects_);
  } else {
    plan_ = {};
    for (const WantedFile& w : wanted) plan_.rows.push_back({w.row, {Source::kPlain}});
  }
  rowPlan_.assign(rows_.size(), std::string::npos);
  rowStep_.assign(rows_.size(), 0);
  for (size_t p = 0; p < plan_.rows.size(); ++p) rowPlan_[plan_.rows[p].row] = p;
  if (plan_.package) {
    const DeltaPackage& package = objects_->packages[*plan_.package];
    std::uint64_t bytes = 0;
    for (size_t r = 0; r < plan_.ranges.size(); ++r) {
      queue_.push_back({Job::Kind::kPackage, r, plan_.ranges[r].length});
      bytes += plan_.ranges[r].length;
    }
    Log("delta package " + PackageObjectPath(package) + ": " +
        (plan_.wholePackage ? std::string("whole, ") : std::to_string(plan_.ranges.size()) + " stretches, ") +
        std::to_string(bytes) + " of its " + std::to_string(package.length) + " bytes");
    bytesPlanned_ += bytes;
  }
  for (const RowPlan& row : plan_.rows)
    if (row.chain.front() != Source::kPackage) Enqueue(row.row);
  Pump();
}

void UpdateRun::Enqueue(size_t row) {
  const RowPlan& plan = plan_.rows[rowPlan_[row]];
  Job job;
  job.index = row;
  switch (plan.chain[rowStep_[row]]) {
    case Source::kPackage: return;  // comes with its stretch
    case Source::kCopy:
      job.kind = Job::Kind::kCopy;
      job.bytes = objects_->copies[plan.copy].frame.length;
      break;
    case Source::kPlain:
      job.kind = Job::Kind::kPlain;
      job.bytes = static_cast<std::uint64_t>(rows_[row].exactSize);
      break;
  }
  bytesPlanned_ += job.bytes;
  queue_.push_back(job);
}

void UpdateRun::Pump() {
  if (phase_ != Phase::kFetchingFiles) return;
  if (stagedRows_ == rows_.size()) {
    StopAllTransfers();
    Advance(Phase::kInstalling);
    return;
  }
  const size_t most = services_.newDownloader ? kMaxTransfers : 1;
  for (size_t slot = 0; slot < most && !queue_.empty(); ++slot) {
    if (slot == slots_.size()) {
      Slot made;
      if (slot == 0) {
        made.dl = &services_.DL;
      } else {
        made.owned = services_.newDownloader();
        made.events = std::make_unique<SlotEvents>(this, slot);
        made.owned->SetEvents(made.events.get());
        made.dl = made.owned.get();
      }
      slots_.push_back(std::move(made));
    }
    if (slots_[slot].job || (slot == 0 && IndexOnDL())) continue;
    Job job = queue_.front();
    queue_.pop_front();
    StartJob(slot, job);
  }
}

void UpdateRun::StartJob(size_t slot, const Job& job) {
  Slot& s = slots_[slot];
  s.job = job;
  s.fraction = 0;
  Downloader& dl = *s.dl;
  const size_t folderNumber = job.kind == Job::Kind::kPackage ? rows_.size() + 1 + job.index : job.index + 1;
  const std::string folder = RowStagingFolder(folderNumber);
  // One that cannot be made fails the transfer (code 4), which says so.
  if (!platform::PathExists(folder)) platform::CreateFolder(folder).IgnoreError();
  dl.AbortDownload();
  // A body longer than it may be is not this object: stopped as soon as it
  // passes, instead of filling the disk first.
  TransferRequest request;
  request.saveFolder = folder;
  request.maxBytes = job.bytes;
  request.computeSha256 = signedRelease_;
  const std::string releaseFolder = serverBase_ + texts::kServerFolder;
  switch (job.kind) {
    case Job::Kind::kPlain:
      request.url = releaseFolder + rows_[job.index].location;
      Log("fetching " + RowName(job.index));
      break;
    case Job::Kind::kCopy: {
      const CompressedCopy& copy = objects_->copies[plan_.rows[rowPlan_[job.index]].copy];
      request.url = releaseFolder + CopyObjectPath(copy);
      Log("fetching " + RowName(job.index) + " as its compressed copy, " + std::to_string(job.bytes) + " bytes");
      break;
    }
    case Job::Kind::kPackage: {
      const DeltaPackage& package = objects_->packages[*plan_.package];
      const PackageRange& range = plan_.ranges[job.index];
      request.url = releaseFolder + PackageObjectPath(package);
      if (!plan_.wholePackage) {
        request.first = range.first;
        request.length = range.length;
      }
      Log("fetching the delta package" +
          (plan_.wholePackage ? std::string(" whole")
                              : ", bytes " + std::to_string(range.first) + "-" +
                                    std::to_string(range.first + range.length - 1)) +
          " (" + std::to_string(range.endFrame - range.firstFrame) + " frames)");
      break;
    }
  }
  dl.BeginDownload(request);
}

void UpdateRun::StopAllTransfers() {
  queue_.clear();
  for (Slot& slot : slots_) {
    if (slot.job || slot.dl == &services_.DL) slot.dl->AbortDownload();
    slot.job.reset();
  }
  if (index_ == IndexFetch::kFetching) indexDl_->AbortDownload();
  index_ = IndexFetch::kDone;
  waitingForIndex_ = false;
}

std::int32_t UpdateRun::firstUnstagedRow() const {
  auto unstaged = std::find(staged_.begin(), staged_.end(), false);
  return unstaged == staged_.end() ? 0 : static_cast<std::int32_t>(unstaged - staged_.begin()) + 1;
}

int UpdateRun::progressPerMille() const {
  // Before the fetch nothing; after it, where it stopped.
  if (phase_ < Phase::kFetchingFiles || staged_.empty()) return -1;
  if (bytesPlanned_ == 0) return stagedRows_ == rows_.size() ? 1000 : 0;
  double done = static_cast<double>(bytesDone_);
  for (const Slot& slot : slots_)
    if (slot.job) done += static_cast<double>(slot.fraction) * static_cast<double>(slot.job->bytes);
  return static_cast<int>(std::min(1000.0, done * 1000.0 / static_cast<double>(bytesPlanned_)));
}

bool UpdateRun::EnoughRoom() {
  // Each file is staged, then moved beside its target, or copied there when
  // that is another volume: room for it on the volume of each, before the
  // first byte is fetched. The files replaced stay as the previous release,
  // so nothing is freed before the new release is in.
  std::map<std::string, std::uint64_t> need;
  std::map<std::string, std::string> where;  // a folder on each volume, for the log
  std::string stagingVolume;
  if (!platform::VolumeOf(StagingFolder(), &stagingVolume).ok()) return true;  // fails when it is written
  where.emplace(stagingVolume, StagingFolder());
  const InstallPaths paths = Paths();
  for (const FileRow& row : rows_) {
    const std::uint64_t size = static_cast<std::uint64_t>(row.exactSize);
    need[stagingVolume] += size;
    const std::string& root = row.where.underApplication ? paths.applicationPath : paths.windowsFolder;
    std::string volume;
    if (platform::VolumeOf(root, &volume).ok() && volume != stagingVolume) {
      need[volume] += size;
      where.emplace(volume, root);
    }
  }
  bool enough = true;
  for (auto& [volume, bytes] : need) {
    bytes += kRoomMargin;
    std::uint64_t available = 0;
    if (!platform::FreeSpace(where[volume], &available).ok()) continue;
    Log("room on the volume of " + where[volume] + ": " + std::to_string(bytes) + " bytes needed, " +
        std::to_string(available) + " free");
    if (available < bytes) enough = false;
  }
  if (!enough) End(Outcome::kNoRoom, "too little free space, nothing fetched");
  return enough;
}

void UpdateRun::Cancel() {
  const bool fetching = phase_ == Phase::kFetchingFiles;
  StopAllTransfers();
  services_.DL.AbortDownload();
  End(Outcome::kCancelled, fetching ? "cancelled by the user while fetching files, " + std::to_string(stagedRows_) +
                                          " of " + std::to_string(rows_.size()) + " staged"
                                    : std::string("cancelled by the user while fetching the list"));
}

void UpdateRun::End(Outcome outcome, const std::string& why) {
  Log("end: " + why);
  StopAllTransfers();
  // Nothing staged outlives the run: installed, refused or abandoned.
  // A repair that failed keeps everything for the next start.
  if (!services_.checkOnly && phase_ != Phase::kStarting && outcome != Outcome::kRepairFailed)
    EmptyStaging(StagingFolder());
  outcome_ = outcome;
  Advance(Phase::kEnded);
}

void UpdateRun::ReplaceRows(std::vector<FileRow> rows) {
  rows_ = std::move(rows);
  rowStatus_.assign(rows_.size(), RowStatus{});
  changedRows_.clear();
  ++rowsRevision_;
}

void UpdateRun::SetRowStatus(size_t index, RowStatus status) {
  if (index >= rowStatus_.size() || rowStatus_[index] == status) return;
  rowStatus_[index] = status;
  if (changedRows_.empty() || changedRows_.back() != index) changedRows_.push_back(index);
}

std::vector<size_t> UpdateRun::TakeChangedRows() {
  std::vector<size_t> changed;
  changed.swap(changedRows_);
  return changed;
}

void UpdateRun::DL_Finished(std::int32_t value) {
  if (value <= 0) return;
  // The list is the transfer that start-up began, whatever its file is
  // called: a release file named playlist.txt is a file like any other.
  switch (phase_) {
    case Phase::kFetchingManifest: ManifestArrived(); return;
    case Phase::kFetchingFiles:
      if (IndexOnDL()) ObjectIndexArrived(true);
      else SlotFinished(0);
      return;
    case Phase::kInstalling: return;
    default: ListArrived(); return;
  }
}

void UpdateRun::ListArrived() {
  const std::string listFile = services_.DL.SavedFileName();
  std::string bytes, text;
  if (!platform::ReadWholeFile(listFile, &bytes).ok() || !DocumentTextOf(bytes, &text).ok()) {
    ReplaceRows({});
    Log("list refused: not a readable rich-text document");
    End(Outcome::kListBroken, "list refused");
    return;
  }
  Log("list received: " + std::to_string(bytes.size()) + " bytes");
  ReplaceRows({});
  // Gone before any line is read; a list that cannot be deleted is still read.
  platform::RemoveFile(listFile).IgnoreError();
  if (trustedKeys_.empty()) {
    OfferRows(text);
    return;
  }
  listBytes_ = std::move(bytes);
  listText_ = std::move(text);
  FetchManifest();
}

void UpdateRun::FetchManifest() {
  Advance(Phase::kFetchingManifest);
  // Used only once the manifest has verified; asked for now, on a
  // connection of its own, so that it is here when the files are asked for.
  if (services_.newDownloader && index_ == IndexFetch::kNotAsked) {
    ownIndexDl_ = services_.newDownloader();
    ownIndexEvents_ = std::make_unique<SlotEvents>(this, kIndexSlot);
    ownIndexDl_->SetEvents(ownIndexEvents_.get());
    FetchObjectIndex(*ownIndexDl_);
  }
  services_.DL.AbortDownload();
  services_.DL.BeginDownload({.url = serverBase_ + texts::kServerFolder + texts::kListFile + texts::kManifestSuffix,
                              .saveFolder = services_.applicationPath,
                              .maxBytes = kManifestMaxBytes});
}

std::uint64_t UpdateRun::AcceptedSerial() {
  // Anything but a plain number (a hand-edited or damaged setting) counts as
  // no release accepted yet.
  std::string text = services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey, "0");
  std::uint64_t serial = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), serial);
  return error == std::errc() && end == text.data() + text.size() ? serial : 0;
}

void UpdateRun::ManifestArrived() {
  const std::string manifestFile = services_.DL.SavedFileName();
  std::string manifest;
  bool read = platform::ReadWholeFile(manifestFile, &manifest).ok();
  platform::RemoveFile(manifestFile).IgnoreError();
  std::vector<UpdateListEntry> entries;
  if (Status listed = ReadUpdateList(listText_, &entries); !listed.ok()) {
    Log("list refused: " + listed.message());
    End(Outcome::kListBroken, "list refused");
    return;
  }
  const std::uint64_t accepted = AcceptedSerial();
  ReleaseManifest verified;
  Status verdict = read ? VerifyManifest(manifest, trustedKeys_, listBytes_, LocationsOf(entries), UtcNow(), accepted,
                                         &verified)
                        : Status::Error("cannot be read");
  if (!verdict.ok()) {
    Log("manifest refused: " + verdict.message());
    End(Outcome::kListRefused, "manifest refused");
    return;
  }
  // Recorded once the release is in (or nothing needed updating): a release
  // whose files were tampered with leaves no trace in the installation.
  pendingSerial_ = verified.serial > accepted ? verified.serial : 0;
  Log("manifest accepted: serial " + std::to_string(verified.serial) + " (accepted before: " +
      std::to_string(accepted) + ")");
  signedRelease_ = true;
  for (ManifestFile& file : verified.files) signedFiles_[file.location] = std::move(file);
  OfferRows(listText_);
}

void UpdateRun::OfferRows(const std::string& text) {
  std::vector<FileRow> rows;
  Status checked = CheckListText(text, services_.applicationPath, WindowsFolder(), services_.runningProgram, &rows);
  if (!checked.ok()) {
    Log("list refused: " + checked.message());
    End(Outcome::kListBroken, "list refused");
    return;
  }
  ReplaceRows(std::move(rows));
  if (rows_.empty()) {
    RecordSerial();
    End(Outcome::kUpToDate, "up to date, nothing to update");
    return;
  }
  std::string names;
  for (size_t i = 0; i < rows_.size() && i < kLoggedOfferedRows; ++i) names += " " + rows_[i].location;
  if (rows_.size() > kLoggedOfferedRows) names += " ...";
  Log("offered: " + FileCount(rows_.size()) + " to update:" + names);
  Advance(Phase::kOffered);
}

std::optional<UpdateRun::Job> UpdateRun::TakeJob(size_t slot) {
  if (slot >= slots_.size() || !slots_[slot].job) return std::nullopt;  // an event after the run let go of it
  std::optional<Job> job = std::move(slots_[slot].job);
  slots_[slot].job.reset();
  return job;
}

void UpdateRun::SlotFinished(size_t slot) {
  if (slot == kIndexSlot) {
    ObjectIndexArrived(true);
    return;
  }
  std::optional<Job> taken = TakeJob(slot);
  if (!taken) return;
  const Job job = *taken;
  bytesDone_ += job.bytes;
  Downloader& dl = *slots_[slot].dl;
  switch (job.kind) {
    case Job::Kind::kPlain:
      if (!PlainArrived(job.index, dl.SavedFileName(), dl.SavedFileSha256())) return;  // the run has ended
      RowStaged(job.index, "fetched whole");
      break;
    case Job::Kind::kCopy: CopyArrived(job.index, dl.SavedFileName()); break;
    case Job::Kind::kPackage: PackageArrived(job.index, dl.SavedFileName()); break;
  }
  Pump();
}

bool UpdateRun::PlainArrived(size_t index, const std::string& staged, const std::string& sha256) {
  const FileRow& row = rows_[index];
  // A file of another length than the list's did not arrive whole: it is a
  // failed transfer, and nothing of it is installed.
  std::uint64_t length = 0;
  if (!platform::FileLength(staged, &length).ok() || length != static_cast<std::uint64_t>(row.exactSize)) {
    Log("failed " + RowName(index) + ": " + std::to_string(length) + " bytes arrived, the list says " +
        std::to_string(row.exactSize));
    platform::RemoveFile(staged).IgnoreError();
    End(Outcome::kTransferFailed, "failed, a file arrived short or long");
    return false;
  }
  // Signed: the very bytes the maintainer published, or nothing of it.
  if (signedRelease_) {
    auto expected = signedFiles_.find(row.location);
    if (expected == signedFiles_.end() || expected->second.length != length || expected->second.sha256 != sha256) {
      Log("refused " + RowName(index) + ": not the bytes the manifest names");
      platform::RemoveFile(staged).IgnoreError();
      End(Outcome::kFileRefused, "failed, a file is not the one the manifest names");
      return false;
    }
  }
  return true;
}

void UpdateRun::CopyArrived(size_t row, const std::string& saved) {
  std::string frame;
  Status read = platform::ReadWholeFile(saved, &frame);
  platform::RemoveFile(saved).IgnoreError();
  const CompressedCopy& copy = objects_->copies[plan_.rows[rowPlan_[row]].copy];
  std::string why = !read.ok()                         ? read.message()
                    : frame.size() != copy.frame.length ? "the copy is not the length the index names"
                                                        : StageDecoded(row, frame, copy.frame);
  if (why.empty()) RowStaged(row, "from its compressed copy");
  else FallBack(row, "its compressed copy: " + why);
}

void UpdateRun::PackageArrived(size_t stretch, const std::string& saved) {
  std::string bytes;
  Status read = platform::ReadWholeFile(saved, &bytes);
  platform::RemoveFile(saved).IgnoreError();
  const PackageRange& range = plan_.ranges[stretch];
  const std::vector<ObjectFrame>& frames = objects_->packages[*plan_.package].frames;
  for (size_t row : RowsOfStretch(stretch)) {
    const ObjectFrame& frame = frames[plan_.rows[rowPlan_[row]].frame];
    std::string why = !read.ok()                    ? read.message()
                      : bytes.size() != range.length ? "the package's bytes are not the length asked for"
                                                     : StageDecoded(row, bytes.substr(frame.offset - range.first, frame.length), frame);
    if (why.empty()) RowStaged(row, frame.patch ? "from the delta package, patched" : "from the delta package, whole");
    else FallBack(row, "the delta package: " + why);
  }
}

std::vector<size_t> UpdateRun::RowsOfStretch(size_t stretch) const {
  std::vector<size_t> rows;
  const PackageRange& range = plan_.ranges[stretch];
  for (const RowPlan& plan : plan_.rows)
    if (!staged_[plan.row] && plan.chain[rowStep_[plan.row]] == Source::kPackage && plan.frame >= range.firstFrame &&
        plan.frame < range.endFrame)
      rows.push_back(plan.row);
  return rows;
}

std::string UpdateRun::StagedPath(size_t index) const {
  if (index < stagedPaths_.size() && !stagedPaths_[index].empty()) return stagedPaths_[index];
  return RowStagingFolder(index + 1) + platform::PathSeparator() + rows_[index].where.fileName;
}

std::string UpdateRun::StageDecoded(size_t index, const std::string& frame, const ObjectFrame& about) {
  const FileRow& row = rows_[index];
  auto expected = signedFiles_.find(row.location);
  if (expected == signedFiles_.end()) return "the manifest does not name the file";
  // A patch applies only to the very file it was made from: read again, the
  // installed file may have changed since it was hashed.
  std::string base;
  if (about.patch) {
    if (!platform::ReadWholeFile(row.where.target, &base).ok() || base.size() != about.base.length ||
        platform::Sha256Bytes(base) != about.base.sha256)
      return "the installed file is not the patch's base";
  }
  std::string file;
  if (Status decoded = DecodeFrame(frame, base, expected->second.length, &file); !decoded.ok())
    return decoded.message();
  if (file.size() != expected->second.length || platform::Sha256Bytes(file) != expected->second.sha256)
    return "it decodes to other bytes than the manifest names";
  const std::string folder = RowStagingFolder(index + 1);
  if (!platform::PathExists(folder)) platform::CreateFolder(folder).IgnoreError();
  const std::string staged = StagedPath(index);
  platform::RemoveFile(staged).IgnoreError();
  if (Status written = platform::AppendToFile(staged, file); !written.ok()) {
    platform::RemoveFile(staged).IgnoreError();
    return "cannot be written here: " + written.message();
  }
  return "";
}

void UpdateRun::FallBack(size_t row, const std::string& why) {
  const RowPlan& plan = plan_.rows[rowPlan_[row]];
  ++rowStep_[row];
  const Source next = plan.chain[rowStep_[row]];
  Log(RowName(row) + ": " + why + "; now " + (next == Source::kCopy ? "its compressed copy" : "the plain file"));
  platform::RemoveFile(StagedPath(row)).IgnoreError();
  Enqueue(row);
}

void UpdateRun::RowStaged(size_t index, const std::string& how, Stamp stamp) {
  // Staged: it carries the list's time into place. One that cannot take it
  // is still the right file; the next run's check offers it again.
  if (stamp == Stamp::kWithListedTime) {
    if (Status stamped = StampFileTime(StagedPath(index), rows_[index].modified); !stamped.ok())
      Log("cannot give " + RowName(index) + " its listed time: " + stamped.message());
  }
  staged_[index] = true;
  ++stagedRows_;
  SetRowStatus(index, {RowStatus::kStaged});
  Log("staged " + RowName(index) + ", " + how);
  current_ = static_cast<std::int32_t>(std::min(stagedRows_ + 1, rows_.size()));
  ++revision_;
}

void UpdateRun::Install() {
  if (phase_ != Phase::kInstalling) return;
  std::vector<InstallItem> items;
  for (size_t i = 0; i < rows_.size(); ++i) items.push_back({rows_[i].where, StagedPath(i)});
  TransactionFailure failure;
  Status installed = InstallRelease(platform::HostFileSystem(), {Paths(), JournalPath()}, items, &failure);
  if (!installed.ok()) {
    if (failure.item < rows_.size()) SetRowStatus(failure.item, {RowStatus::kFailed});
    if (!failure.undone) {
      Log("installation failed and could not be put back, the journal is kept for the next start: " +
          installed.message());
      End(Outcome::kRepairFailed, "the installation could not be repaired");
      return;
    }
    Log("installation failed, everything put back as it was: " + installed.message());
    End(Outcome::kRolledBack, "rolled back");
    return;
  }
  Log("installed " + FileCount(items.size()) + " as one release");
  if (platform::PathExists(JournalPath()))
    Log("the release is in; its last steps (the previous release's record, letting the older copies go) are left "
        "to the next start");
  RecordSerial();
  End(Outcome::kUpdated, "updated");
}

void UpdateRun::Rollback() {
  TransactionFailure failure;
  Status restored = RollbackRelease(platform::HostFileSystem(), {Paths(), JournalPath()}, &failure);
  if (restored.ok()) End(Outcome::kRestored, "the previous release is restored");
  else if (failure.nothing) End(Outcome::kNothingToRestore, "no previous release to restore");
  else if (!failure.undone)
    End(Outcome::kRepairFailed, "the previous release could not be restored, nor the installation put back as it was, "
                                "the journal is kept for the next start: " + restored.message());
  else End(Outcome::kRestoreFailed, "the previous release could not be restored, nothing changed: " + restored.message());
}

bool UpdateRun::StagedFromInstallation(size_t index) {
  if (!signedRelease_ || index >= rows_.size()) return false;
  const FileRow& row = rows_[index];
  auto expected = signedFiles_.find(row.location);
  std::string digest;
  std::uint64_t length = 0;
  if (expected == signedFiles_.end() || !platform::Sha256OfFile(row.where.target, &digest, &length).ok()) return false;
  installed_[index] = ContentId{digest, length};  // a patch's base, perhaps
  if (length != expected->second.length || digest != expected->second.sha256) return false;
  // Its bytes are the release's already: staged as another name of the
  // installed file itself (no folder, no copy), so that the list's time
  // given to it is the installed file's at once. Installed or put back, the
  // file holds the same bytes, and only the time tells it is the new one's.
  const std::string staged = StagingFolder() + platform::PathSeparator() + LinkedStagedName(index + 1, row.where.fileName);
  if (!platform::LinkOrCopy(row.where.target, staged).ok()) return false;  // then it is fetched
  stagedPaths_[index] = staged;
  if (Status stamped = StampFileTime(staged, row.modified); !stamped.ok())
    Log("cannot give " + RowName(index) + " its listed time: " + stamped.message());
  return true;
}

std::string UpdateRun::RowName(size_t index) const {
  if (index >= rows_.size()) return "the list";
  return std::to_string(index + 1) + "/" + std::to_string(rows_.size()) + " " + rows_[index].location;
}

void UpdateRun::RecordSerial() {
  // Only ever forwards: an older release was refused at its manifest, and
  // the same serial again is a re-run that changes nothing here.
  if (pendingSerial_ == 0 || services_.checkOnly) return;
  Status recorded = services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey,
                                            std::to_string(pendingSerial_));
  // The release is in either way; unrecorded, an older one is refused only
  // from the serial recorded before.
  if (!recorded.ok()) Log("the release serial could not be recorded: " + recorded.message());
  pendingSerial_ = 0;
}

void UpdateRun::DL_Failed(std::int32_t code, std::int32_t /*extra*/) {
  if (phase_ == Phase::kFetchingFiles) {
    if (IndexOnDL()) IndexFailed(code);
    else SlotFailed(0, code);
    return;
  }
  std::string detail = services_.DL.FailureDetail();
  const bool manifest = phase_ == Phase::kFetchingManifest;
  Log("transfer failed while fetching " + std::string(manifest ? "the manifest" : "the list") + ": code " +
      std::to_string(code) + (detail.empty() ? "" : ", " + detail));
  // Not the network's fault: saying so would send the user to the firewall.
  if (code == kCannotWriteLocally) {
    End(Outcome::kCannotWrite, "failed, cannot write here");
    return;
  }
  if (!IsNetworkFailure(code)) return;  // any other code changes nothing
  // No manifest, no offer: a release the updater cannot verify is refused
  // whatever kept the manifest away.
  if (manifest) End(Outcome::kListRefused, "manifest refused: it could not be fetched");
  else End(Outcome::kTransferFailed, "failed, the transfer failed");
}

void UpdateRun::IndexFailed(std::int32_t code) {
  const std::string detail = indexDl_->FailureDetail();
  Log("object index not used, plain files only: code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail));
  ObjectIndexArrived(false);
}

void UpdateRun::SlotFailed(size_t slot, std::int32_t code) {
  if (slot == kIndexSlot) {
    IndexFailed(code);
    return;
  }
  std::optional<Job> taken = TakeJob(slot);
  if (!taken) return;
  const Job job = *taken;
  const std::string detail = slots_[slot].dl->FailureDetail();
  const std::string what = "code " + std::to_string(code) + (detail.empty() ? "" : ", " + detail);
  bytesPlanned_ -= std::min(bytesPlanned_, job.bytes);  // not coming: the strip measures what still may
  if (job.kind == Job::Kind::kPlain || code == kCannotWriteLocally) {
    Log("transfer failed while fetching " + RowName(job.index) + ": " + what);
    // Not the network's fault: saying so would send the user to the firewall.
    if (code == kCannotWriteLocally) End(Outcome::kCannotWrite, "failed, cannot write here");
    else End(Outcome::kTransferFailed, "failed, the transfer failed");
    return;
  }
  // An object that cannot be had is only a longer way round.
  if (job.kind == Job::Kind::kCopy) {
    FallBack(job.index, "its compressed copy could not be fetched (" + what + ")");
  } else {
    for (size_t row : RowsOfStretch(job.index)) FallBack(row, "the delta package could not be fetched (" + what + ")");
  }
  Pump();
}

void UpdateRun::DL_Retrying(std::int32_t attempt, std::int32_t tries) {
  if (phase_ == Phase::kFetchingFiles && !IndexOnDL()) {
    SlotRetrying(0, attempt, tries);
    return;
  }
  std::string detail = services_.DL.FailureDetail();
  Log("retry " + std::to_string(attempt) + "/" + std::to_string(tries) + " of " +
      (phase_ == Phase::kFetchingManifest ? std::string("the manifest")
       : IndexOnDL()                      ? std::string("the object index")
                                          : std::string("the list")) +
      (detail.empty() ? "" : " after: " + detail));
}

void UpdateRun::SlotRetrying(size_t slot, std::int32_t attempt, std::int32_t tries) {
  if (slot >= slots_.size() || !slots_[slot].job) return;
  const Job& job = *slots_[slot].job;
  std::string detail = slots_[slot].dl->FailureDetail();
  const std::vector<size_t> rows = job.kind == Job::Kind::kPackage ? RowsOfStretch(job.index) : std::vector<size_t>{job.index};
  Log("retry " + std::to_string(attempt) + "/" + std::to_string(tries) + " of " +
      (job.kind == Job::Kind::kPackage ? std::string("the delta package") : RowName(job.index)) +
      (detail.empty() ? "" : " after: " + detail));
  for (size_t row : rows) SetRowStatus(row, {RowStatus::kRetrying, 0, attempt, tries});
}

void UpdateRun::DL_Progress(float fraction, std::int32_t, std::int32_t) {
  if (phase_ == Phase::kFetchingFiles && !IndexOnDL()) SlotProgress(0, fraction);
}

void UpdateRun::SlotProgress(size_t slot, float fraction) {
  if (slot >= slots_.size() || !slots_[slot].job) return;
  slots_[slot].fraction = fraction;
  const Job& job = *slots_[slot].job;
  const RowStatus percent{RowStatus::kFetching, static_cast<int>(std::lround(static_cast<double>(fraction) * 100.0))};
  // Twenty reports a second mostly repeat the percentage: SetRowStatus
  // changes nothing then.
  if (job.kind == Job::Kind::kPackage)
    for (size_t row : RowsOfStretch(job.index)) SetRowStatus(row, percent);
  else
    SetRowStatus(job.index, percent);
}

}  // namespace vmrk
