#include "install/update_run.h"

#include <charconv>
#include <cmath>

#include "install/file_time_stamp.h"
#include "install/installer.h"
#include "install/leftovers.h"
#include "install/release_transaction.h"
#include "install/staging.h"
#include "install/update_names.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/file_helpers.h"
#include "updatelist/list_check.h"
#include "updatelist/update_list.h"

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

bool IsRowFolderName(const std::string& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

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
    if (entry.isFolder && top && IsRowFolderName(entry.name)) {
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

UpdateRun::UpdateRun(UpdateRunServices services) : services_(std::move(services)) {}

std::string UpdateRun::AppFile(const std::string& name) const {
  return services_.applicationPath + platform::PathSeparator() + name;
}

std::string UpdateRun::StagingFolder() const { return AppFile(kStagingFolderName); }

std::string UpdateRun::RowStagingFolder(size_t k) const {
  return StagingFolder() + platform::PathSeparator() + std::to_string(k);
}

InstallPaths UpdateRun::Paths() const { return {services_.applicationPath, WindowsFolder(), services_.runningProgram}; }

std::string UpdateRun::JournalPath() const { return StagingFolder() + platform::PathSeparator() + kJournalFile; }

void UpdateRun::OpenLog() { log_ = UpdateLog(AppFile(kUpdateLogFile)); }

void UpdateRun::Start(const std::string& mode) {
  Log(std::string("start: vmrkxupdate ") + VMRK_VERSION + " in " + services_.applicationPath + mode);
  // Before anything reads the installation: a run killed half way through
  // putting a release in left it neither old nor new.
  std::string recovered;
  if (RecoverInterruptedRelease({Paths(), JournalPath()}, &recovered) != Recovery::kNothing) Log(recovered);
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
  services_.DL.SetSourceURL(serverBase_ + texts::kServerFolder + texts::kListFile);
  services_.DL.SetSaveFolder(services_.applicationPath);
  services_.DL.SetMaxBytes(kListMaxBytes);
  services_.DL.BeginDownload();
}

bool UpdateRun::FetchFiles() {
  // Offered only after the check added rows; a table emptied since leaves
  // nothing to fetch.
  if (phase_ != Phase::kOffered || rows_.empty()) return false;
  Log("next: " + FileCount(rows_.size()) + " to fetch");
  if (!EnoughRoom()) return true;
  current_ = 1;
  Advance(Phase::kFetchingFiles);
  StartRow();
  return true;
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
  services_.DL.AbortDownload();
  End(Outcome::kCancelled, "cancelled by the user while fetching " + RowName());
}

void UpdateRun::End(Outcome outcome, const std::string& why) {
  Log("end: " + why);
  // Nothing staged outlives the run: installed, refused or abandoned.
  if (!services_.checkOnly && phase_ != Phase::kStarting) EmptyStaging(StagingFolder());
  outcome_ = outcome;
  Advance(Phase::kEnded);
}

void UpdateRun::ReplaceRows(std::vector<FileRow> rows) {
  rows_ = std::move(rows);
  changedRows_.clear();
  ++rowsRevision_;
}

void UpdateRun::SetRowStatus(size_t index, std::string status) {
  if (index >= rows_.size() || rows_[index].status == status) return;
  rows_[index].status = std::move(status);
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
  if (current_ == 0) {
    if (phase_ == Phase::kFetchingManifest) ManifestArrived();
    else ListArrived();
    return;
  }
  FileArrived();
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
  services_.DL.AbortDownload();
  services_.DL.SetSourceURL(serverBase_ + texts::kServerFolder + texts::kListFile + texts::kManifestSuffix);
  services_.DL.SetSaveFolder(services_.applicationPath);
  services_.DL.SetMaxBytes(kManifestMaxBytes);
  services_.DL.BeginDownload();
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
  services_.DL.SetComputeSha256(true);
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

void UpdateRun::FileArrived() {
  if (current_ < 1 || static_cast<size_t>(current_) > rows_.size()) return;
  const size_t index = static_cast<size_t>(current_) - 1;
  const FileRow& row = rows_[index];
  const std::string staged = services_.DL.SavedFileName();

  // A file of another length than the list's did not arrive whole: it is a
  // failed transfer, and nothing of it is installed.
  std::uint64_t length = 0;
  if (!platform::FileLength(staged, &length).ok() || length != static_cast<std::uint64_t>(row.exactSize)) {
    Log("failed " + RowName() + ": " + std::to_string(length) + " bytes arrived, the list says " +
        std::to_string(row.exactSize));
    platform::RemoveFile(staged).IgnoreError();
    End(Outcome::kTransferFailed, "failed, a file arrived short or long");
    return;
  }
  // Signed: the very bytes the maintainer published, or nothing of it.
  if (signedRelease_) {
    auto expected = signedFiles_.find(row.location);
    if (expected == signedFiles_.end() || expected->second.length != length ||
        expected->second.sha256 != services_.DL.SavedFileSha256()) {
      Log("refused " + RowName() + ": not the bytes the manifest names");
      platform::RemoveFile(staged).IgnoreError();
      End(Outcome::kFileRefused, "failed, a file is not the one the manifest names");
      return;
    }
  }

  // Staged: it carries the list's time into place. One that cannot take it
  // is still the right file; the next run's check offers it again.
  if (Status stamped = StampFileTime(staged, row.modified); !stamped.ok())
    Log("cannot give " + RowName() + " its listed time: " + stamped.message());
  SetRowStatus(index, texts::kRowDone);
  Log("staged " + RowName());
  if (static_cast<size_t>(current_) == rows_.size()) {
    Advance(Phase::kInstalling);
    return;
  }
  ++current_;
  ++revision_;
  StartRow();
}

void UpdateRun::Install() {
  if (phase_ != Phase::kInstalling) return;
  std::vector<InstallItem> items;
  for (size_t k = 1; k <= rows_.size(); ++k) {
    const FileRow& row = rows_[k - 1];
    items.push_back({row.where, RowStagingFolder(k) + platform::PathSeparator() + row.where.fileName});
  }
  size_t failed = items.size();
  Status installed = InstallRelease({Paths(), JournalPath()}, items, &failed);
  if (!installed.ok()) {
    if (failed < rows_.size()) SetRowStatus(failed, texts::kRowFailed);
    Log("installation failed, everything put back as it was: " + installed.message());
    End(Outcome::kRolledBack, "rolled back");
    return;
  }
  Log("installed " + FileCount(items.size()) + " as one release");
  RecordSerial();
  End(Outcome::kUpdated, "updated");
}

void UpdateRun::Rollback() {
  bool nothing = false;
  Status restored = RollbackRelease({Paths(), JournalPath()}, &nothing);
  if (restored.ok()) End(Outcome::kRestored, "the previous release is restored");
  else if (nothing) End(Outcome::kNothingToRestore, "no previous release to restore");
  else End(Outcome::kRestoreFailed, "the previous release could not be restored, nothing changed: " + restored.message());
}

bool UpdateRun::StagedFromInstallation(size_t index) {
  if (!signedRelease_ || index >= rows_.size()) return false;
  const FileRow& row = rows_[index];
  auto expected = signedFiles_.find(row.location);
  std::string digest;
  std::uint64_t length = 0;
  if (expected == signedFiles_.end() || !platform::Sha256OfFile(row.where.target, &digest, &length).ok() ||
      length != expected->second.length || digest != expected->second.sha256)
    return false;
  const std::string folder = RowStagingFolder(index + 1);
  if (!platform::PathExists(folder)) platform::CreateFolder(folder).IgnoreError();
  const std::string staged = folder + platform::PathSeparator() + row.where.fileName;
  if (!platform::CopyToNew(row.where.target, staged, row.where.target).ok()) return false;  // then it is fetched
  if (Status stamped = StampFileTime(staged, row.modified); !stamped.ok())
    Log("cannot give " + RowName() + " its listed time: " + stamped.message());
  SetRowStatus(index, texts::kRowDone);
  Log("already installed as signed, not fetched: " + RowName());
  return true;
}

void UpdateRun::StartRow() {
  services_.DL.AbortDownload();
  // A signed release names each file's bytes: one installed as they are is
  // not fetched again, only staged from the installation with the list's
  // time, and goes in with the rest.
  while (StagedFromInstallation(static_cast<size_t>(current_) - 1)) {
    if (static_cast<size_t>(current_) == rows_.size()) {
      Advance(Phase::kInstalling);
      return;
    }
    ++current_;
    ++revision_;
  }
  const FileRow& row = rows_[static_cast<size_t>(current_) - 1];
  const std::string folder = RowStagingFolder(static_cast<size_t>(current_));
  // One that cannot be made fails the transfer (code 4), which says so.
  if (!platform::PathExists(folder)) platform::CreateFolder(folder).IgnoreError();
  services_.DL.SetSaveFolder(folder);
  services_.DL.SetSourceURL(serverBase_ + texts::kServerFolder + row.location);
  // A body longer than the list's Size is not this file: stopped as soon as
  // it passes, instead of filling the disk first.
  services_.DL.SetMaxBytes(static_cast<std::uint64_t>(row.exactSize));
  services_.DL.BeginDownload();
  Log("fetching " + RowName());
}

std::string UpdateRun::RowName() const {
  if (current_ < 1 || static_cast<size_t>(current_) > rows_.size()) return "the list";
  return std::to_string(current_) + "/" + std::to_string(rows_.size()) + " " +
         rows_[static_cast<size_t>(current_) - 1].location;
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
  std::string detail = services_.DL.FailureDetail();
  const bool manifest = phase_ == Phase::kFetchingManifest;
  Log("transfer failed while fetching " + (manifest ? std::string("the manifest") : RowName()) + ": code " +
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

void UpdateRun::DL_Retrying(std::int32_t attempt, std::int32_t tries) {
  std::string detail = services_.DL.FailureDetail();
  Log("retry " + std::to_string(attempt) + "/" + std::to_string(tries) + " of " +
      (phase_ == Phase::kFetchingManifest ? std::string("the manifest") : RowName()) +
      (detail.empty() ? "" : " after: " + detail));
  if (current_ <= 0 || static_cast<size_t>(current_) > rows_.size()) return;
  SetRowStatus(static_cast<size_t>(current_) - 1, texts::RowRetrying(attempt, tries));
}

void UpdateRun::DL_Progress(float fraction, std::int32_t, std::int32_t) {
  if (current_ <= 0 || static_cast<size_t>(current_) > rows_.size()) return;
  long percent = std::lround(static_cast<double>(fraction) * 100.0);
  // Twenty reports a second mostly repeat the percentage: SetRowStatus
  // changes nothing then.
  SetRowStatus(static_cast<size_t>(current_) - 1, std::to_string(percent) + "%");
}

}  // namespace vmrk
