#include "app/updater_window.h"

#include <charconv>
#include <cmath>

#include "app/built_in_keys.h"
#include "app/server_address.h"
#include "app/texts.h"
#include "install/file_time_stamp.h"
#include "install/installer.h"
#include "install/leftovers.h"
#include "install/staging.h"
#include "listgen/list_generator.h"
#include "listgen/release_signing.h"
#include "updatelist/rtf_writer.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/file_helpers.h"
#include "updatelist/list_check.h"
#include "updatelist/location.h"
#include "updatelist/update_list.h"

namespace vmrk {
namespace {

constexpr std::int16_t kKeyF8 = 119;
constexpr std::int16_t kShiftOnly = 1;
constexpr Rgb kPanelAtStart{220, 255, 220};
constexpr Rgb kHighlightBackground{255, 192, 128};
constexpr Rgb kPlainBackground{236, 233, 216};
constexpr Rgb kGreyText{200, 200, 200};
constexpr Rgb kBlackText{0, 0, 0};
constexpr int kTitleBufferSpaces = 255;
// Far above any real list (100,000 lines are about 12 MB); an endless body
// must end somewhere.
constexpr std::uint64_t kListMaxBytes = 64ull << 20;
// The log names the first offered files; each fetched one has its own line.
constexpr size_t kLoggedOfferedRows = 20;

std::string FileCount(size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

}  // namespace

UpdaterWindow::UpdaterWindow(UpdaterServices services)
    : services_(std::move(services)), state_(InitialWindowState()) {}

std::string UpdaterWindow::AppFile(const std::string& name) const {
  return services_.applicationPath + platform::PathSeparator() + name;
}

std::string UpdaterWindow::StagingFolder() const { return AppFile(kStagingFolderName); }

UpdaterWindow::LoadOutcome UpdaterWindow::Form_Load() {
  Changed();
  // Every step below is skipped silently when it fails; start-up never stops
  // half way except for the two endings the wizard knows.
  log_ = UpdateLog(AppFile(kUpdateLogFile));
  if (services_.instance.AnotherInstanceRunning()) {
    if (services_.unattended) {
      Log("another updater is running: ended");
      return LoadOutcome::kEndProcess;
    }
    Log("another updater is running: asked it to come forward, and ended");
    services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "1");
    return LoadOutcome::kEndProcess;
  }

  // The title is kept as Unicode text: an 8-bit buffer would garble the
  // player's name on systems whose code page is not Chinese.
  state_.ForeTitle.assign(kTitleBufferSpaces, ' ');
  state_.ForeWnd = services_.desktop.ForegroundWindow();
  if (state_.ForeWnd != 0) {
    std::string title = services_.desktop.WindowTitle(state_.ForeWnd);
    if (!title.empty()) state_.ForeTitle = title;
  }

  const char separator = platform::PathSeparator();
  const std::string& appPath = services_.applicationPath;
  state_.AppDir = !appPath.empty() && appPath.back() == separator ? appPath : appPath + separator;

  state_.panelBackground = kPanelAtStart;

  Log(std::string("start: vmrkxupdate ") + VMRK_VERSION + " in " + appPath +
      (services_.checkOnly ? " (check only)" : services_.unattended ? " (silent)" : ""));
  if (!services_.checkOnly) {
    const std::string staging = StagingFolder();
    if (!platform::PathExists(staging)) platform::CreateFolder(staging);
    platform::RemoveFilesIn(staging);
    // What an interrupted run left below the application folder; one still
    // in use stays for the next start.
    SweepLeftovers(appPath);
  }

  state_.CurFile = 0;
  ShowStep(0);

  const std::string addressFile = state_.AppDir + texts::kAddressFile;
  if (!platform::IsVisibleFile(addressFile)) {
    // Without a server there is nothing to wait for: say so and offer Close
    // instead of leaving a window with no way on.
    state_.statusColor = kRed;
    state_.statusText = texts::kStatusNoAddressFile;
    Log("end: no address file " + addressFile);
    state_.cmdBegin.caption = texts::kClose;
    state_.cmdBegin.enabled = true;
    return LoadOutcome::kShowWindow;
  }

  std::string text;
  if (!LoadDocumentText(addressFile, &text).ok()) text.clear();

  trustedKeys_ = PublicKeysOfText(BuiltInKeysText());
  std::string keysText;
  if (platform::IsVisibleFile(AppFile(texts::kKeysFile)) && platform::ReadWholeFile(AppFile(texts::kKeysFile), &keysText).ok())
    for (std::string& key : PublicKeysOfText(keysText)) trustedKeys_.push_back(std::move(key));
  state_.ServerBase = ServerBaseFromText(text);
  Log("server: " + AddressForLog(state_.ServerBase) + (trustedKeys_.empty() ? "" : ", signed releases only (" +
      std::to_string(trustedKeys_.size()) + " trusted keys)"));

  services_.DL.SetSourceURL(state_.ServerBase + texts::kServerFolder + texts::kListFile);
  services_.DL.SetSaveFolder(appPath);
  services_.DL.SetMaxBytes(kListMaxBytes);
  services_.DL.BeginDownload();
  state_.statusText = texts::kStatusFetchingList;
  return LoadOutcome::kShowWindow;
}

void UpdaterWindow::ShowStep(std::int16_t step) {
  Changed();
  for (StepLabel& label : state_.steps) label = {false, kPlainBackground, kGreyText};
  StepLabel& current = state_.steps.at(static_cast<size_t>(step));
  current = {true, kHighlightBackground, kBlackText};
}

void UpdaterWindow::cmdBegin_Click() {
  Changed();
  const std::string& caption = state_.cmdBegin.caption;
  if (caption == texts::kNext) {
    // Offered only after the check added rows; a table emptied since (it
    // cannot be, but the cost of a check is nil) leaves nothing to fetch.
    if (state_.rows.empty()) return;
    if (state_.ForeWnd != 0 && ContainsIgnoringCase(state_.ForeTitle, texts::kPlayerName))
      services_.desktop.PostCloseRequest(state_.ForeWnd);
    Log("next: " + FileCount(state_.rows.size()) + " to fetch");
    ShowStep(1);
    state_.CurFile = 1;
    services_.DL.AbortDownload();
    services_.DL.SetSourceURL(state_.ServerBase + texts::kServerFolder + state_.rows[0].location);
    services_.DL.SetSaveFolder(StagingFolder());
    services_.DL.SetMaxBytes(static_cast<std::uint64_t>(state_.rows[0].exactSize));
    services_.DL.BeginDownload();
    Log("fetching " + RowName());
    state_.cmdBegin.enabled = false;
    state_.cmdCancel.enabled = true;
    state_.statusText = texts::StatusDownloading(state_.CurFile, static_cast<long>(state_.rows.size()));
    return;
  }
  if (caption == texts::kFinish) {
    Log("finish: starting the player " + AppFile(platform::PlayerProgramName()));
    services_.desktop.ShellOpen(AppFile(platform::PlayerProgramName()));
    state_.closeRequested = true;
    return;
  }
  Log("closed");
  state_.closeRequested = true;
}

void UpdaterWindow::cmdCancel_Click() {
  Changed();
  Log("end: cancelled by the user while fetching " + RowName());
  services_.DL.AbortDownload();
  state_.closeRequested = true;
}

void UpdaterWindow::Label1_Click() { services_.desktop.ShellOpen(texts::HomePageAddress()); }

void UpdaterWindow::Form_KeyDown(std::int16_t keyCode, std::int16_t shift) {
  if (keyCode == kKeyF8 && shift == kShiftOnly && !state_.Command2.visible) {
    state_.Command2.visible = true;
    Changed();
  }
}

void UpdaterWindow::Timer1_Timer() {
  std::string value =
      services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "0");
  if (value != "1") return;
  services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "0");
  services_.desktop.ShowAndActivateOwnWindow();
  services_.desktop.RestoreOwnWindow();
}

void UpdaterWindow::Command2_Click() {
  Changed();
  // The window does not answer while the walk runs: it is one handler.
  GeneratedList list = GenerateUpdateList(services_.releaseRoot);
  state_.ListText = std::move(list.ListText);
  if (!list.refusal.empty()) {
    // A list that every updater would refuse is not written; an older one
    // stays as it was.
    services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorRefused + list.refusal);
    return;
  }
  const std::string& keyFile = services_.maintainerKeyFile;
  if (!keyFile.empty() && platform::IsVisibleFile(keyFile)) {
    SaveSignedList();
    return;
  }
  Status saved = SaveUpdateList(AppFile(texts::kListFile), state_.ListText);
  if (!saved.ok()) {
    services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorSaveFailed + saved.message());
    return;
  }
  services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorDone);
}

void UpdaterWindow::SaveSignedList() {
  const std::string& keyFile = services_.maintainerKeyFile;
  const std::string& root = services_.releaseRoot;
  // The release folder is published whole: a key inside it would be too.
  if (keyFile.compare(0, root.size(), root) == 0) {
    services_.desktop.ShowMessage(texts::kAppTitle,
                                  texts::kGeneratorSignFailed + keyFile + " lies inside the release folder");
    return;
  }
  std::string key, manifest;
  const std::string rtf = PlainTextToRtf(state_.ListText);
  const std::int64_t now = UtcNow();
  Status status = ReadPrivateKeyFile(keyFile, &key);
  if (status.ok()) status = BuildSignedManifest(root, rtf, state_.ListText, {key}, now, now + 365 * 86400, &manifest);
  if (!status.ok()) {
    services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorSignFailed + status.message());
    return;
  }
  const std::string list = AppFile(texts::kListFile);
  status = platform::WriteFileAtomically(list, rtf);
  if (status.ok()) status = platform::WriteFileAtomically(list + texts::kManifestSuffix, manifest);
  if (!status.ok()) {
    services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorSaveFailed + status.message());
    return;
  }
  services_.desktop.ShowMessage(texts::kAppTitle, texts::kGeneratorDoneSigned);
}

void UpdaterWindow::DL_Finished(std::int32_t value) {
  if (value <= 0) return;
  Changed();
  // The list is the transfer that start-up began, whatever its file is
  // called: a release file named playlist.txt is a file like any other.
  if (state_.CurFile == 0) {
    if (awaitingManifest_) ManifestArrived();
    else CheckUpdateList();
    return;
  }
  FileArrived();
}

void UpdaterWindow::CheckUpdateList() {
  const std::string listFile = services_.DL.SavedFileName();
  std::string bytes, text;
  if (!platform::ReadWholeFile(listFile, &bytes).ok() || !DocumentTextOf(bytes, &text).ok()) {
    Log("list refused: not a readable rich-text document");
    ShowListBroken();
    return;
  }
  Log("list received: " + std::to_string(bytes.size()) + " bytes");
  ReplaceRows({});
  // Gone before any line is read; a list that cannot be deleted is still read.
  platform::RemoveFile(listFile);
  if (trustedKeys_.empty()) {
    OfferRows(text);
    return;
  }
  listBytes_ = std::move(bytes);
  listText_ = std::move(text);
  FetchManifest();
}

void UpdaterWindow::FetchManifest() {
  awaitingManifest_ = true;
  services_.DL.AbortDownload();
  services_.DL.SetSourceURL(state_.ServerBase + texts::kServerFolder + texts::kListFile + texts::kManifestSuffix);
  services_.DL.SetSaveFolder(services_.applicationPath);
  services_.DL.SetMaxBytes(kManifestMaxBytes);
  services_.DL.BeginDownload();
}

std::uint64_t UpdaterWindow::AcceptedSerial() {
  // Anything but a plain number (a hand-edited or damaged setting) counts as
  // no release accepted yet.
  std::string text = services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey, "0");
  std::uint64_t serial = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), serial);
  return error == std::errc() && end == text.data() + text.size() ? serial : 0;
}

void UpdaterWindow::ManifestArrived() {
  awaitingManifest_ = false;
  const std::string manifestFile = services_.DL.SavedFileName();
  std::string manifest;
  bool read = platform::ReadWholeFile(manifestFile, &manifest).ok();
  platform::RemoveFile(manifestFile);
  UpdateListReading reading = ReadUpdateList(listText_);
  if (reading.badLineNumber) {
    Log("list refused: line " + std::to_string(*reading.badLineNumber) + " is not a list line");
    ShowListBroken();
    return;
  }
  const std::uint64_t accepted = AcceptedSerial();
  ReleaseManifest verified;
  Status verdict = read ? VerifyManifest(manifest, trustedKeys_, listBytes_, reading.Locations(), UtcNow(), accepted,
                                         &verified)
                        : Status::Error("cannot be read");
  if (!verdict.ok()) {
    Log("manifest refused: " + verdict.message());
    ShowListBroken(texts::kStatusListRefused);
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

void UpdaterWindow::OfferRows(const std::string& text) {
  ListCheckResult result = CheckListText(text, services_.applicationPath, WindowsFolder(), services_.runningProgram);
  if (!result.ok) {
    Log("list refused: " + result.reason);
    ShowListBroken();
    return;
  }
  ReplaceRows(std::move(result.rows));
  state_.cmdBegin.enabled = true;
  if (state_.rows.empty()) {
    Log("end: up to date, nothing to update");
    state_.cmdBegin.caption = texts::kClose;
    state_.statusColor = kRed;
    state_.statusText = texts::kStatusUpToDate;
    RecordSerial();
  } else {
    std::string names;
    for (size_t i = 0; i < state_.rows.size() && i < kLoggedOfferedRows; ++i) names += " " + state_.rows[i].location;
    if (state_.rows.size() > kLoggedOfferedRows) names += " ...";
    Log("offered: " + FileCount(state_.rows.size()) + " to update:" + names);
    state_.cmdBegin.caption = texts::kNext;
    state_.statusText = texts::kStatusReady;
  }
}

void UpdaterWindow::ReplaceRows(std::vector<FileRow> rows) {
  state_.rows = std::move(rows);
  state_.selectedRow = 0;
  ++state_.rowsRevision;
  Changed();
}

void UpdaterWindow::ShowListBroken(const char* text) {
  Log(std::string("end: list or manifest refused, showing \"") + text + "\"");
  ReplaceRows({});
  state_.cmdBegin.caption = texts::kClose;
  state_.cmdBegin.enabled = true;
  state_.cmdCancel.enabled = false;
  state_.statusColor = kRed;
  state_.statusText = text;
}

void UpdaterWindow::FileArrived() {
  if (state_.CurFile < 1 || static_cast<size_t>(state_.CurFile) > state_.rows.size()) return;
  FileRow& row = state_.rows[static_cast<size_t>(state_.CurFile) - 1];
  const std::string staged = services_.DL.SavedFileName();

  // A file of another length than the list's did not arrive whole: it is a
  // failed transfer, and nothing of it is installed.
  std::uint64_t length = 0;
  if (!platform::FileLength(staged, &length).ok() || length != static_cast<std::uint64_t>(row.exactSize)) {
    Log("failed " + RowName() + ": " + std::to_string(length) + " bytes arrived, the list says " +
        std::to_string(row.exactSize));
    platform::RemoveFile(staged);
    ShowFailure();
    return;
  }
  // Signed: the very bytes the maintainer published, or nothing of it.
  if (signedRelease_) {
    auto expected = signedFiles_.find(row.location);
    if (expected == signedFiles_.end() || expected->second.length != length ||
        expected->second.sha256 != services_.DL.SavedFileSha256()) {
      Log("refused " + RowName() + ": not the bytes the manifest names");
      platform::RemoveFile(staged);
      ShowFailure(texts::kStatusFileRefused);
      return;
    }
  }

  // Each step below goes on when the one before it failed; only the row's
  // mark tells whether the file is in place.
  StampFileTime(staged, row.modified);
  bool sideFile = false;
  Status installed = InstallStagedFile(
      row.location, {services_.applicationPath, WindowsFolder(), services_.runningProgram}, &sideFile);
  row.status = installed.ok() ? texts::kRowDone : texts::kRowFailed;
  if (!installed.ok()) Log("failed " + RowName() + ": " + installed.message());
  else Log((sideFile ? "side file for " : "installed ") + RowName());
  if (!installed.ok()) anyRowFailed_ = true;

  if (static_cast<size_t>(state_.CurFile) == state_.rows.size()) {
    ShowCompleted();
    return;
  }
  ++state_.CurFile;
  StartRow();
}

void UpdaterWindow::StartRow() {
  state_.selectedRow = state_.CurFile;
  services_.DL.AbortDownload();
  const FileRow& row = state_.rows[static_cast<size_t>(state_.CurFile) - 1];
  services_.DL.SetSourceURL(state_.ServerBase + texts::kServerFolder + row.location);
  // A body longer than the list's Size is not this file: stopped as soon as
  // it passes, instead of filling the disk first.
  services_.DL.SetMaxBytes(static_cast<std::uint64_t>(row.exactSize));
  services_.DL.BeginDownload();
  Log("fetching " + RowName());
  state_.statusText = texts::StatusDownloading(state_.CurFile, static_cast<long>(state_.rows.size()));
}

std::string UpdaterWindow::RowName() const {
  if (state_.CurFile < 1 || static_cast<size_t>(state_.CurFile) > state_.rows.size()) return "the list";
  return std::to_string(state_.CurFile) + "/" + std::to_string(state_.rows.size()) + " " +
         state_.rows[static_cast<size_t>(state_.CurFile) - 1].location;
}

void UpdaterWindow::RecordSerial() {
  // Only ever forwards: an older release was refused at its manifest, and
  // the same serial again is a re-run that changes nothing here.
  if (pendingSerial_ == 0 || services_.checkOnly) return;
  services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSerialKey,
                           std::to_string(pendingSerial_));
  pendingSerial_ = 0;
}

void UpdaterWindow::ShowCompleted() {
  RecordSerial();
  state_.cmdBegin.caption = texts::kFinish;
  state_.cmdBegin.enabled = true;
  state_.cmdCancel.enabled = false;
  ShowStep(2);
  state_.statusColor = kRed;
  state_.statusText = anyRowFailed_ ? texts::kStatusPartlyUpdated : texts::kStatusCompleted;
  Log(anyRowFailed_ ? "end: partly updated" : "end: updated");
}

void UpdaterWindow::DL_Failed(std::int32_t code, std::int32_t /*extra*/) {
  Changed();
  std::string detail = services_.DL.FailureDetail();
  Log("transfer failed while fetching " +
      (awaitingManifest_ ? std::string("the manifest") : state_.CurFile == 0 ? "the list" : RowName()) + ": code " +
      std::to_string(code) + (detail.empty() ? "" : ", " + detail));
  if (awaitingManifest_ && code != kCannotWriteLocally) {
    // No manifest, no offer: a release the updater cannot verify is refused
    // whatever kept the manifest away.
    awaitingManifest_ = false;
    if (code == kCannotDownload || code == kTooManyRedirects || code == kNoResponse || code == kUnknownFailure)
      ShowListBroken(texts::kStatusListRefused);
    return;
  }
  awaitingManifest_ = false;
  // Not the network's fault: saying so would send the user to the firewall.
  if (code == kCannotWriteLocally) ShowFailure(texts::kStatusCannotWrite);
  if (code == kCannotDownload || code == kTooManyRedirects || code == kNoResponse || code == kUnknownFailure)
    ShowFailure();
}

void UpdaterWindow::ShowFailure(const char* text) {
  Log(std::string("end: failed, showing \"") + text + "\"");
  state_.statusText = text;
  state_.statusColor = kRed;
  state_.cmdBegin.caption = texts::kClose;
  state_.cmdBegin.enabled = true;
  state_.cmdCancel.enabled = false;
}

void UpdaterWindow::DL_Retrying(std::int32_t attempt, std::int32_t tries) {
  std::string detail = services_.DL.FailureDetail();
  Log("retry " + std::to_string(attempt) + "/" + std::to_string(tries) + " of " +
      (awaitingManifest_ ? std::string("the manifest") : RowName()) + (detail.empty() ? "" : " after: " + detail));
  if (state_.CurFile <= 0 || static_cast<size_t>(state_.CurFile) > state_.rows.size()) return;
  state_.rows[static_cast<size_t>(state_.CurFile) - 1].status = texts::RowRetrying(attempt, tries);
  Changed();
}

void UpdaterWindow::DL_Progress(float fraction, std::int32_t, std::int32_t) {
  if (state_.CurFile <= 0 || static_cast<size_t>(state_.CurFile) > state_.rows.size()) return;
  long percent = std::lround(static_cast<double>(fraction) * 100.0);
  std::string text = std::to_string(percent) + "%";
  std::string& status = state_.rows[static_cast<size_t>(state_.CurFile) - 1].status;
  if (status == text) return;  // twenty reports a second mostly repeat the percentage
  status = std::move(text);
  Changed();
}

}  // namespace vmrk
