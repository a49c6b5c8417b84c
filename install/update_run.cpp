#include "install/update_run.h"

#include <algorithm>
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

// The log names the first offered files; each fetched one has its own line.
constexpr size_t kLoggedOfferedRows = 20;

std::string FileCount(size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

// The journal and a little more, on each volume the release touches.
constexpr std::uint64_t kRoomMargin = 1 << 20;

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

UpdateRun::UpdateRun(UpdateRunServices services) : services_(std::move(services)) {
  fetch_.SetSlots(services_.newDownloader ? kMaxTransfers : 1);
  work_ = services_.newWorker ? services_.newWorker() : platform::NewInlineWork();
}

void UpdateRun::Background(std::function<void()> work, std::function<void()> done) {
  // A result is wanted only while the run is where it was when it asked:
  // after a cancel or a failure it is dropped.
  const Phase phase = phase_;
  asking_ = true;
  work_->Run(std::move(work), [this, phase, done = std::move(done)] {
    if (phase_ != phase) return;
    done();
    if (!asking_) Notify();  // came back later, on its own: the window renders
  });
  asking_ = false;
}

Downloader& UpdateRun::DownloaderOf(size_t slot) {
  if (slot == 0) return services_.DL;
  if (downloaders_.size() <= slot) downloaders_.resize(slot + 1);
  OwnedDownloader& made = downloaders_[slot];
  if (!made.dl) {
    made.dl = services_.newDownloader();
    made.events = std::make_unique<SlotEvents>(this, slot);
    made.dl->SetEvents(made.events.get());
  }
  return *made.dl;
}

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

void UpdateRun::FetchList(const std::string& serverBase, ReleaseTrust trust, std::vector<std::string> otherServers,
                          std::string channel) {
  trust_ = std::move(trust);
  channel_ = std::move(channel);
  tree_ = std::string(texts::kServerFolder) +
          (channel_.empty() ? "" : texts::kChannelsFolder + channel_ + "/");
  otherServers.insert(otherServers.begin(), serverBase);
  fetch_.servers() = ServerOrder(otherServers);
  std::string mirrors;
  for (size_t s = 1; s < fetch_.servers().size(); ++s) mirrors += (s == 1 ? ", mirrors " : " ") + AddressForLog(ServerBase(s));
  const std::string trusted = trust_.root ? ", signed releases only (root " + std::to_string(trust_.root->version) + ")"
                              : trust_.keys.empty()
                                  ? ""
                                  : ", signed releases only (" + std::to_string(trust_.keys.size()) + " trusted keys)";
  Log("server: " + AddressForLog(serverBase) + trusted + mirrors +
      (channel_.empty() ? "" : ", channel " + channel_));
  Advance(Phase::kFetchingList);
  if (!trust_.any()) {
    FetchFixedNamedList();
    return;
  }
  if (trust_.root) {
    WalkRoots();
    return;
  }
  FetchReleaseManifest(false);
}

bool UpdateRun::FetchFiles() {
  // Offered only after the check added rows; a table emptied since leaves
  // nothing to fetch.
  if (phase_ != Phase::kOffered || rows_.empty()) return false;
  Log("next: " + FileCount(rows_.size()) + " to fetch");
  if (!EnoughRoom()) return true;
  current_ = 1;
  Advance(Phase::kFetchingFiles);
  std::vector<std::uint64_t> lengths;
  for (const FileRow& row : rows_) lengths.push_back(static_cast<std::uint64_t>(row.exactSize));
  fetch_.SetRows(lengths);
  // The index is on its way (or here) while the installed files are hashed.
  if (signedRelease_ && !indexAsked_) FetchObjectIndex(0);
  if (signedRelease_) PreconnectSlots();
  if (!signedRelease_) {
    ContinueFetch();
    return true;
  }
  // A signed release names each file's bytes: one installed as they are is
  // not fetched again, only staged from the installation with the list's
  // time, and goes in with the rest. Hashed off the event thread, a file a
  // piece, so that a cancel waits for one file at most.
  checkingInstalled_ = true;
  const char separator = platform::PathSeparator();
  for (size_t i = 0; i < rows_.size(); ++i) {
    auto expected = signedFiles_.find(rows_[i].location);
    if (expected == signedFiles_.end()) continue;
    auto check = std::make_shared<InstalledCheck>();
    std::string staged = StagingFolder() + separator + LinkedStagedName(i + 1, rows_[i].where.fileName);
    Background(
        [check, target = rows_[i].where.target, wanted = ContentId{expected->second.sha256, expected->second.length},
         staged = std::move(staged), modified = rows_[i].modified] {
          *check = CheckInstalled(target, wanted, staged, modified);
        },
        [this, i, check, staged] {
          fetch_.row(i).installed = check->installed;
          if (!check->staged) return;
          fetch_.row(i).stagedPath = staged;
          if (!check->stampFailure.empty())
            Log("cannot give " + RowName(i) + " its listed time: " + check->stampFailure);
          RowStaged(i, "already installed as signed, not fetched", Stamp::kAlreadyDated);
        });
  }
  Background([] {}, [this] {
    checkingInstalled_ = false;
    ContinueFetch();
  });
  return true;
}

void UpdateRun::PreconnectSlots() {
  // The transfers wait for the check and the index; their connections need
  // not. Slots whose downloader has run a transfer keep its connection.
  if (!services_.newDownloader) return;
  const std::optional<size_t> server = fetch_.servers().Next(0);
  if (!server) return;
  const size_t slots = std::min(kMaxTransfers, rows_.size());
  for (size_t slot = 1; slot < slots; ++slot)
    if ((downloaders_.size() <= slot || !downloaders_[slot].dl) && !fetch_.JobOf(slot))
      DownloaderOf(slot).Preconnect(ServerBase(*server));
}

void UpdateRun::ContinueFetch() {
  if (fetch_.AllStaged()) {
    Pump();  // nothing to fetch: no object is needed either
    return;
  }
  PlanWhenReady();
}

void UpdateRun::PlanWhenReady() {
  // The plan needs the installed files' contents (a patch's base) and the
  // object index, or its failure.
  if (phase_ == Phase::kFetchingFiles && !fetch_.planned() && !checkingInstalled_ &&
      !fetch_.SlotOf(FetchJob::Kind::kIndex))
    PlanJobs();
}

void UpdateRun::PlanJobs() {
  partsArrived_.clear();
  std::vector<WantedFile> wanted;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (fetch_.row(i).staged) continue;
    auto signedFile = signedFiles_.find(rows_[i].location);
    ContentId target;
    if (signedFile != signedFiles_.end()) target = {signedFile->second.sha256, signedFile->second.length};
    wanted.push_back({i, target, fetch_.row(i).installed});
  }
  FetchPlan plan;
  const bool contentNamed = road_ == Road::kContentNamed;
  if (objects_ || contentNamed) {
    plan = PlanFetch(wanted, objects_ ? *objects_ : ObjectIndex{}, contentNamed);
  } else {
    for (const WantedFile& w : wanted) plan.rows.push_back({w.row, {Source::kPlain}});
  }
  for (size_t p = 0; p < plan.packages.size(); ++p) {
    const DeltaPackage& package = objects_->packages[plan.packages[p]];
    std::uint64_t bytes = 0;
    size_t stretches = 0;
    bool whole = false;
    for (const PackageRange& range : plan.ranges) {
      if (range.pack != p) continue;
      bytes += range.length;
      ++stretches;
      whole = whole || range.whole;
    }
    Log((IsFullPackage(package) ? "full package " : "delta package ") + PackageObjectPath(package) + ": " +
        (whole ? std::string("whole, ") : std::to_string(stretches) + " stretches, ") + std::to_string(bytes) +
        " of its " + std::to_string(package.length) + " bytes");
  }
  fetch_.Plan(std::move(plan), objects_ ? &*objects_ : nullptr);
  Pump();
}

void UpdateRun::Pump() {
  if (phase_ != Phase::kFetchingFiles) return;
  if (fetch_.AllStaged()) {
    StopAllTransfers();
    Advance(Phase::kInstalling);
    return;
  }
  for (const auto& [slot, job] : fetch_.TakeStarts()) StartJob(slot, job);
}

void UpdateRun::StartJob(size_t slot, const FetchJob& job) {
  Downloader& dl = DownloaderOf(slot);
  const size_t folderNumber = job.kind == FetchJob::Kind::kPackage ? rows_.size() + 1 + job.index : job.index + 1;
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
  const std::string releaseFolder = ServerBase(job.server) + tree_;
  const std::string from = FromServer(job.server);
  const FetchPlan& plan = fetch_.plan();
  switch (job.kind) {
    case FetchJob::Kind::kPlain:
      request.url = releaseFolder + rows_[job.index].location;
      Log("fetching " + RowName(job.index) + from);
      break;
    case FetchJob::Kind::kItself:
      request.url = releaseFolder + FileObjectPath(signedFiles_.at(rows_[job.index].location).sha256);
      Log("fetching " + RowName(job.index) + " by its content name" + from);
      break;
    case FetchJob::Kind::kCopy: {
      const CompressedCopy& copy = objects_->copies[plan.rows[fetch_.row(job.index).plan].copy];
      request.url = releaseFolder + CopyObjectPath(copy);
      Log("fetching " + RowName(job.index) + " as its compressed copy, " + std::to_string(job.bytes) + " bytes" + from);
      break;
    }
    case FetchJob::Kind::kPackage: {
      const PackageRange& range = plan.ranges[job.index];
      const DeltaPackage& package = objects_->packages[plan.packages[range.pack]];
      request.url = releaseFolder + PackageObjectPath(package);
      if (!range.whole) {
        request.first = range.first;
        request.length = range.length;
      }
      Log("fetching " + PackageName(range.pack) +
          (range.whole ? std::string(" whole")
                              : ", bytes " + std::to_string(range.first) + "-" +
                                    std::to_string(range.first + range.length - 1)) +
          " (" + std::to_string(range.endFrame - range.firstFrame) + " frames)" + from);
      break;
    }
    case FetchJob::Kind::kList:
    case FetchJob::Kind::kManifest:
    case FetchJob::Kind::kIndex: return;  // begun by their own steps, never queued
  }
  dl.BeginDownload(request);
}

void UpdateRun::StopAllTransfers() {
  for (size_t slot : fetch_.StopAll()) DownloaderOf(slot).AbortDownload();
}

std::int32_t UpdateRun::firstUnstagedRow() const {
  std::optional<size_t> unstaged = fetch_.FirstUnstaged();
  return unstaged ? static_cast<std::int32_t>(*unstaged) + 1 : 0;
}

int UpdateRun::progressPerMille() const {
  // Before the fetch nothing; after it, where it stopped.
  if (phase_ < Phase::kFetchingFiles || fetch_.rowCount() == 0) return -1;
  return fetch_.ProgressPerMille();
}

bool UpdateRun::EnoughRoom() {
  // Each file is staged, then moved beside its target, or copied there when
  // that is another volume: room for it on the volume of each, before the
  // first byte is fetched. The files replaced stay as the previous release,
  // so nothing is freed before the new release is in.
  std::map<std::string, std::uint64_t> need;
  std::map<std::string, std::string> where;  // a folder on each volume, for the log
  Result<std::string> stagingVolume = platform::VolumeOf(StagingFolder());
  if (!stagingVolume.ok()) return true;  // fails when it is written
  where.emplace(*stagingVolume, StagingFolder());
  const InstallPaths paths = Paths();
  for (const FileRow& row : rows_) {
    const std::uint64_t size = static_cast<std::uint64_t>(row.exactSize);
    need[*stagingVolume] += size;
    const std::string& root = row.where.underApplication ? paths.applicationPath : paths.windowsFolder;
    Result<std::string> volume = platform::VolumeOf(root);
    if (volume.ok() && *volume != *stagingVolume) {
      need[*volume] += size;
      where.emplace(*volume, root);
    }
  }
  bool enough = true;
  for (auto& [volume, bytes] : need) {
    bytes += kRoomMargin;
    Result<std::uint64_t> available = platform::FreeSpace(where[volume]);
    if (!available.ok()) continue;
    Log("room on the volume of " + where[volume] + ": " + std::to_string(bytes) + " bytes needed, " +
        std::to_string(*available) + " free");
    if (*available < bytes) enough = false;
  }
  if (!enough) End(Outcome::kNoRoom, "too little free space, nothing fetched");
  return enough;
}

void UpdateRun::Cancel() {
  // A release going in is not stopped half way: it ends as it ends.
  if (installing_) return;
  const bool fetching = phase_ == Phase::kFetchingFiles;
  const size_t staged = fetch_.stagedRows();
  StopAllTransfers();
  services_.DL.AbortDownload();
  End(Outcome::kCancelled, fetching ? "cancelled by the user while fetching files, " + std::to_string(staged) +
                                          " of " + std::to_string(rows_.size()) + " staged"
                                    : std::string("cancelled by the user while fetching the list"));
}

void UpdateRun::End(Outcome outcome, const std::string& why) {
  Log("end: " + why);
  StopAllTransfers();
  // What the worker was doing is over, and whatever it brings is dropped.
  work_->Stop();
  // Nothing staged outlives the run: installed, refused or abandoned.
  // A repair that failed keeps everything for the next start.
  if (!services_.checkOnly && phase_ != Phase::kStarting && outcome != Outcome::kRepairFailed)
    EmptyStaging(StagingFolder());
  outcome_ = outcome;
  Advance(Phase::kEnded);
}

void UpdateRun::ReplaceRows(std::vector<FileRow> rows) {
  rows_ = std::move(rows);
  fetch_.SetRows({});  // each row waits until the fetch begins
  changedRows_.clear();
  ++rowsRevision_;
}

void UpdateRun::SetRowStatus(size_t index, RowStatus status) {
  if (index >= fetch_.rowCount() || fetch_.row(index).status == status) return;
  fetch_.row(index).status = status;
  if (changedRows_.empty() || changedRows_.back() != index) changedRows_.push_back(index);
}

std::vector<size_t> UpdateRun::TakeChangedRows() {
  std::vector<size_t> changed;
  changed.swap(changedRows_);
  return changed;
}

void UpdateRun::DL_Finished(std::int32_t value) {
  if (value <= 0) return;
  AdoptDLEvent();
  SlotFinished(0);
}

void UpdateRun::AdoptDLEvent() {
  // An event of DL that no transfer of the run's explains (one begun by
  // whoever else drives DL) is the list's, as it always was: a list it
  // cannot read is broken, a failed one is a failed run. While files are
  // fetched or installed, DL is the run's alone.
  if (fetch_.JobOf(0) == nullptr && phase_ != Phase::kFetchingFiles && phase_ != Phase::kInstalling)
    fetch_.Assign(0, {FetchJob::Kind::kList, 0, kListMaxBytes});
}

void UpdateRun::OfferRows(const std::string& text) {
  // Each listed file is compared with the installed one: a lookup of every
  // file of the release, off the event thread.
  struct Checked {
    Status status;
    std::vector<FileRow> rows;
  };
  auto result = std::make_shared<Checked>();
  Background(
      [result, text, app = services_.applicationPath, windows = WindowsFolder(), running = services_.runningProgram,
       exact = exact_ ? signedFiles_ : std::map<std::string, ManifestFile>{}, isExact = exact_] {
        result->status = CheckListText(text, app, windows, running, &result->rows, isExact ? &exact : nullptr);
      },
      [this, result] { RowsChecked(result->status, std::move(result->rows)); });
}

void UpdateRun::RowsChecked(const Status& checked, std::vector<FileRow> rows) {
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

std::string UpdateRun::StagedPath(size_t index) const {
  if (index < fetch_.rowCount() && !fetch_.row(index).stagedPath.empty()) return fetch_.row(index).stagedPath;
  return RowStagingFolder(index + 1) + platform::PathSeparator() + rows_[index].where.fileName;
}

void UpdateRun::FallBack(size_t row, const std::string& why) {
  platform::RemoveFile(StagedPath(row)).IgnoreError();
  const Source next = fetch_.FallBack(row);
  const char* now = next == Source::kCopy     ? "its compressed copy"
                    : next == Source::kItself ? "the file named by its content"
                                              : "the plain file";
  Log(RowName(row) + ": " + why + "; now " + now);
}

void UpdateRun::RowStaged(size_t index, const std::string& how, Stamp stamp) {
  // Staged: it carries the list's time into place. One that cannot take it
  // is still the right file; the next run's check offers it again.
  if (stamp == Stamp::kWithListedTime) {
    if (Status stamped = StampFileTime(StagedPath(index), rows_[index].modified); !stamped.ok())
      Log("cannot give " + RowName(index) + " its listed time: " + stamped.message());
  }
  fetch_.Staged(index);
  SetRowStatus(index, {RowStatus::kStaged});
  Log("staged " + RowName(index) + ", " + how);
  current_ = static_cast<std::int32_t>(std::min(fetch_.stagedRows() + 1, rows_.size()));
  ++revision_;
}

void UpdateRun::Install() {
  if (phase_ != Phase::kInstalling || installing_) return;
  installing_ = true;
  std::vector<InstallItem> items;
  for (size_t i = 0; i < rows_.size(); ++i) items.push_back({rows_[i].where, StagedPath(i)});
  struct Result {
    Status installed;
    TransactionFailure failure;
  };
  auto result = std::make_shared<Result>();
  const size_t count = items.size();
  Background(
      [result, paths = Paths(), journal = JournalPath(), items = std::move(items)] {
        result->installed = InstallRelease(platform::HostFileSystem(), {paths, journal}, items, &result->failure);
      },
      [this, result, count] {
        installing_ = false;
        Installed(result->installed, result->failure, count);
      });
}

void UpdateRun::Installed(const Status& installed, const TransactionFailure& failure, size_t count) {
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
  Log("installed " + FileCount(count) + " as one release");
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

std::string UpdateRun::RowName(size_t index) const {
  if (index >= rows_.size()) return "the list";
  return std::to_string(index + 1) + "/" + std::to_string(rows_.size()) + " " + rows_[index].location;
}

void UpdateRun::DL_Failed(std::int32_t code, std::int32_t /*extra*/) {
  AdoptDLEvent();
  SlotFailed(0, code);
}

void UpdateRun::DL_Retrying(std::int32_t attempt, std::int32_t tries) { SlotRetrying(0, attempt, tries); }

void UpdateRun::DL_Progress(float fraction, std::int32_t, std::int32_t) { SlotProgress(0, fraction); }

void UpdateRun::SlotRetrying(size_t slot, std::int32_t attempt, std::int32_t tries) {
  const FetchJob* running = fetch_.JobOf(slot);
  if (running == nullptr) return;
  const FetchJob job = *running;
  const std::string detail = DownloaderOf(slot).FailureDetail();
  Log("retry " + std::to_string(attempt) + "/" + std::to_string(tries) + " of " + JobName(job) +
      (detail.empty() ? "" : " after: " + detail));
  for (size_t row : RowsOf(job)) SetRowStatus(row, {RowStatus::kRetrying, 0, attempt, tries});
}

std::string UpdateRun::JobName(const FetchJob& job) const {
  switch (job.kind) {
    case FetchJob::Kind::kList: return "the list";
    case FetchJob::Kind::kManifest: return "the manifest";
    case FetchJob::Kind::kIndex: return "the object index";
    case FetchJob::Kind::kPackage: return PackageName(fetch_.plan().ranges[job.index].pack);
    case FetchJob::Kind::kPlain:
    case FetchJob::Kind::kItself:
    case FetchJob::Kind::kCopy: break;
  }
  return RowName(job.index);
}

std::string UpdateRun::PackageName(size_t pack) const {
  const std::vector<size_t>& used = fetch_.plan().packages;
  return pack < used.size() && objects_ && IsFullPackage(objects_->packages[used[pack]]) ? "the full package"
                                                                                          : "the delta package";
}

std::string UpdateRun::FromServer(size_t server) const {
  return fetch_.servers().size() > 1 ? " from " + AddressForLog(ServerBase(server)) : std::string();
}

bool UpdateRun::TryAnotherServer(size_t slot, FetchJob job, const std::string& why) {
  const size_t failed = job.server;
  if (!fetch_.AnotherServer(job)) return false;
  Log(JobName(job) + " from " + AddressForLog(ServerBase(failed)) + ": " + why + "; asking another server");
  switch (job.kind) {
    case FetchJob::Kind::kList: StartList(job); break;
    case FetchJob::Kind::kIndex: StartIndex(slot, job); break;
    case FetchJob::Kind::kManifest: return false;  // the round asks every server already
    case FetchJob::Kind::kPlain:
    case FetchJob::Kind::kItself:
    case FetchJob::Kind::kCopy:
    case FetchJob::Kind::kPackage: fetch_.Requeue(job); break;
  }
  return true;
}

void UpdateRun::SlotProgress(size_t slot, float fraction) {
  const FetchJob* running = fetch_.JobOf(slot);
  if (running == nullptr) return;
  fetch_.Progress(slot, fraction);
  const RowStatus percent{RowStatus::kFetching, static_cast<int>(std::lround(static_cast<double>(fraction) * 100.0))};
  // Twenty reports a second mostly repeat the percentage: SetRowStatus
  // changes nothing then.
  for (size_t row : RowsOf(*running)) SetRowStatus(row, percent);
}

std::vector<size_t> UpdateRun::RowsOf(const FetchJob& job) const {
  switch (job.kind) {
    case FetchJob::Kind::kPlain:
    case FetchJob::Kind::kItself:
    case FetchJob::Kind::kCopy: return {job.index};
    case FetchJob::Kind::kPackage: return fetch_.RowsOfStretch(job.index);
    default: return {};
  }
}

}  // namespace vmrk
