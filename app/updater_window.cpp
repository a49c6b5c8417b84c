#include "app/updater_window.h"

#include "app/built_in_keys.h"
#include "app/server_address.h"
#include "app/texts.h"
#include "listgen/list_generator.h"
#include "listgen/release_signing.h"
#include "updatelist/rtf_writer.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/file_helpers.h"
#include "updatelist/hex_base64.h"
#include "updatelist/location.h"

namespace vmrk {
namespace {

// The status column's text of a row, the same on both front ends.
std::string RowStatusText(const RowStatus& status) {
  switch (status.kind) {
    case RowStatus::kWaiting: break;
    case RowStatus::kFetching: return std::to_string(status.percent) + "%";
    case RowStatus::kRetrying: return texts::RowRetrying(status.attempt, status.tries);
    case RowStatus::kStaged: return texts::kRowDone;
    case RowStatus::kFailed: return texts::kRowFailed;
  }
  return texts::kRowWaiting;
}

constexpr std::int16_t kKeyF8 = 119;
constexpr std::int16_t kShiftOnly = 1;
constexpr Rgb kPanelAtStart{220, 255, 220};
constexpr Rgb kHighlightBackground{255, 192, 128};
constexpr Rgb kPlainBackground{236, 233, 216};
constexpr Rgb kGreyText{200, 200, 200};
constexpr Rgb kBlackText{0, 0, 0};
constexpr int kTitleBufferSpaces = 255;

}  // namespace

UpdaterWindow::UpdaterWindow(UpdaterServices services)
    : services_(std::move(services)),
      state_(InitialWindowState()),
      run_({services_.DL, services_.settings, services_.applicationPath, services_.runningProgram,
            services_.checkOnly, services_.newDownloader, services_.newWorker, services_.newAlarm,
            services_.unattended}) {
  // The transfers besides DL report to the run itself; the window renders
  // after each of their events as after DL's.
  run_.SetChangeListener([this] { AfterEvent(); });
}

std::string UpdaterWindow::AppFile(const std::string& name) const {
  return services_.applicationPath + platform::PathSeparator() + name;
}

std::string UpdaterWindow::StagingFolder() const { return run_.StagingFolder(); }

UpdaterWindow::LoadOutcome UpdaterWindow::Form_Load() {
  Changed();
  // Every step below is skipped silently when it fails; start-up never stops
  // half way except for the two endings the wizard knows.
  const std::string& appPath = services_.applicationPath;
  run_.OpenLog();
  if (services_.instance.AnotherInstanceRunning()) {
    if (services_.unattended) {
      run_.Log("another updater is running: ended");
      return LoadOutcome::kEndProcess;
    }
    run_.Log("another updater is running: asked it to come forward, and ended");
    // A hand-shake the other updater may miss: then this start is only lost.
    services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "1").IgnoreError();
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
  state_.AppDir = !appPath.empty() && appPath.back() == separator ? appPath : appPath + separator;

  state_.panelBackground = kPanelAtStart;
  run_.Start(services_.checkOnly ? " (check only)" : services_.rollback ? " (rollback)" : services_.unattended ? " (silent)" : "");
  state_.CurFile = 0;
  ShowStep(0);
  if (run_.phase() == UpdateRun::Phase::kEnded) {  // the installation could not be repaired
    Render();
    return LoadOutcome::kShowWindow;
  }
  if (services_.rollback) {
    run_.Rollback();
    Render();
    return LoadOutcome::kShowWindow;
  }

  const std::string addressFile = state_.AppDir + texts::kAddressFile;
  if (!platform::IsVisibleFile(addressFile)) {
    // Without a server there is nothing to wait for: say so and offer Close
    // instead of leaving a window with no way on.
    run_.EndWithoutServer(addressFile);
    Render();
    return LoadOutcome::kShowWindow;
  }

  Result<std::string> text = LoadDocumentText(addressFile);

  ReleaseTrust trust;
  trust.keys = PublicKeysOfText(BuiltInKeysText());
  std::string keysText;
  if (platform::IsVisibleFile(AppFile(texts::kKeysFile)) && platform::ReadWholeFile(AppFile(texts::kKeysFile), &keysText).ok())
    for (std::string& key : PublicKeysOfText(keysText)) trust.keys.push_back(std::move(key));
  std::vector<std::string> servers = ServerBasesFromText(text.ok() ? *text : std::string());
  state_.ServerBase = servers.front();
  if (platform::IsVisibleFile(AppFile(texts::kRootFile))) {
    // A root beside the updater that cannot be trusted must not leave it
    // trusting less: nothing is asked.
    Result<RootDocument> root = ShippedRoot();
    if (!root.ok()) {
      run_.RefuseTrust(std::string(texts::kRootFile) + ": " + root.status().message());
      Render();
      return LoadOutcome::kShowWindow;
    }
    trust.root = std::move(root).value();
  }
  run_.FetchList(state_.ServerBase, std::move(trust), {servers.begin() + 1, servers.end()},
                 FollowedChannel(text.ok() ? *text : std::string()));
  Render();
  return LoadOutcome::kShowWindow;
}

Result<RootDocument> UpdaterWindow::ShippedRoot() {
  std::string text;
  if (Status read = platform::ReadWholeFile(AppFile(texts::kRootFile), &text); !read.ok()) return read;
  Result<RootDocument> shipped = AcceptFirstRoot(text);
  if (!shipped.ok()) return shipped;
  return FollowKeptRoots(std::move(shipped).value(), [this](std::uint64_t version) -> std::optional<std::string> {
    const std::string kept = services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection,
                                                     texts::kKeptRootKey + std::to_string(version), "");
    if (kept.empty()) return std::nullopt;
    return FromBase64(kept);
  });
}

std::string UpdaterWindow::FollowedChannel(const std::string& addressText) {
  // The user's own choice first, then the installation's.
  std::string channel = services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kChannelKey, "");
  if (channel.empty()) channel = ChannelFromText(addressText);
  if (channel.empty() || IsChannelName(channel)) return channel;
  run_.Log("channel \"" + channel + "\" is not a channel's name: the default channel is followed");
  return {};
}

void UpdaterWindow::ShowStep(std::int16_t step) {
  Changed();
  for (StepLabel& label : state_.steps) label = {false, kPlainBackground, kGreyText};
  StepLabel& current = state_.steps.at(static_cast<size_t>(step));
  current = {true, kHighlightBackground, kBlackText};
}

void UpdaterWindow::cmdBegin_Click() {
  Changed();
  if (state_.beginAction == BeginAction::kNext) {
    if (run_.phase() != UpdateRun::Phase::kOffered || run_.rows().empty()) return;
    if (state_.ForeWnd != 0 && ContainsIgnoringCase(state_.ForeTitle, texts::kPlayerName))
      services_.desktop.PostCloseRequest(state_.ForeWnd);
    ShowStep(1);
    if (run_.FetchFiles()) {
      state_.cmdBegin.enabled = false;
      state_.cmdCancel.enabled = true;
    }
    Render();
    // Every row may be installed already: then nothing is fetched at all.
    if (run_.phase() == UpdateRun::Phase::kInstalling) {
      if (changed_) changed_();
      InstallIfStaged();
    }
    return;
  }
  if (state_.beginAction == BeginAction::kFinish) {
    run_.Log("finish: starting the player " + AppFile(platform::PlayerProgramName()));
    services_.desktop.ShellOpen(AppFile(platform::PlayerProgramName()));
    state_.closeRequested = true;
    return;
  }
  run_.Log("closed");
  state_.closeRequested = true;
}

void UpdaterWindow::cmdCancel_Click() {
  Changed();
  run_.Cancel();
  state_.closeRequested = true;
}

void UpdaterWindow::Closing() {
  using Phase = UpdateRun::Phase;
  const Phase phase = run_.phase();
  if (phase == Phase::kFetchingList || phase == Phase::kFetchingManifest || phase == Phase::kFetchingFiles) {
    run_.Cancel();
    Render();
  }
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
  // Not reset, the next tick comes forward again: harmless.
  services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "0").IgnoreError();
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
  std::string manifest;
  const std::string rtf = PlainTextToRtf(state_.ListText);
  const std::int64_t now = UtcNow();
  Result<std::string> key = ReadPrivateKeyFile(keyFile);
  Status status = key.status();
  if (key.ok()) status = BuildSignedManifest(root, rtf, state_.ListText, {*key}, now, now + 365 * 86400, &manifest);
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

void UpdaterWindow::Render() {
  if (state_.rowsRevision != run_.rowsRevision()) {
    state_.rows = run_.rows();
    state_.selectedRow = 0;
    state_.rowsRevision = run_.rowsRevision();
    run_.TakeChangedRows();
    Changed();
    state_.rowChangedAt.assign(state_.rows.size(), state_.revision);
  }
  for (size_t index : run_.TakeChangedRows()) {
    state_.rows[index].status = RowStatusText(run_.rowStatus(index));
    Changed();
    state_.rowChangedAt[index] = state_.revision;
  }
  if (const int perMille = run_.progressPerMille(); perMille != state_.downloadPerMille) {
    state_.downloadPerMille = perMille;
    Changed();
  }
  if (renderedRevision_ == run_.revision()) return;
  renderedRevision_ = run_.revision();
  Changed();
  state_.busy = false;
  state_.CurFile = run_.current();
  using Phase = UpdateRun::Phase;
  using Outcome = UpdateRun::Outcome;
  switch (run_.phase()) {
    case Phase::kStarting:
      return;
    case Phase::kFetchingList:
    case Phase::kFetchingManifest:
      state_.statusText = texts::kStatusFetchingList;
      return;
    case Phase::kOffered:
      state_.beginAction = BeginAction::kNext;
      state_.cmdBegin = {CaptionOf(BeginAction::kNext), true, state_.cmdBegin.visible};
      state_.statusText = texts::kStatusReady;
      return;
    case Phase::kFetchingFiles:
      // Rows arrive in any order: the one selected is the first still to come.
      if (const std::int32_t row = run_.firstUnstagedRow(); row > 0) state_.selectedRow = row;
      state_.statusText = texts::StatusDownloading(run_.current(), static_cast<long>(run_.rows().size()));
      return;
    case Phase::kInstalling:
      state_.statusText = texts::kStatusInstalling;
      state_.busy = true;  // the wait cursor while the release goes in, on the worker
      return;
    case Phase::kEnded:
      break;
  }
  // Every end but cancelling leaves one button to press, and says why in red.
  const char* text = nullptr;
  BeginAction action = BeginAction::kClose;
  switch (run_.outcome()) {
    case Outcome::kNone:
    case Outcome::kCancelled: return;
    case Outcome::kUpToDate: text = texts::kStatusUpToDate; break;
    case Outcome::kUpdated: text = texts::kStatusCompleted; action = BeginAction::kFinish; break;
    case Outcome::kRolledBack: text = texts::kStatusRolledBack; break;
    case Outcome::kNoRoom: text = texts::kStatusNoRoom; break;
    case Outcome::kRestored:
    case Outcome::kNothingToRestore:
    case Outcome::kRestoreFailed: return;  // /rollback has no window
    case Outcome::kNoServer: text = texts::kStatusNoAddressFile; break;
    case Outcome::kListBroken: text = texts::kStatusListBroken; break;
    case Outcome::kListRefused: text = texts::kStatusListRefused; break;
    case Outcome::kFileRefused: text = texts::kStatusFileRefused; break;
    case Outcome::kTransferFailed: text = texts::kStatusFailed; break;
    case Outcome::kCannotWrite: text = texts::kStatusCannotWrite; break;
    case Outcome::kRepairFailed: text = texts::kStatusNotRepaired; break;
  }
  state_.statusText = text;
  state_.statusColor = kRed;
  state_.beginAction = action;
  state_.cmdBegin.caption = CaptionOf(action);
  state_.cmdBegin.enabled = true;
  // Up to date and no server leave Cancel as start-up left it.
  if (run_.outcome() != Outcome::kUpToDate && run_.outcome() != Outcome::kNoServer) state_.cmdCancel.enabled = false;
  if (action == BeginAction::kFinish) ShowStep(2);
}

void UpdaterWindow::AfterEvent() {
  Render();
  if (changed_) changed_();
  InstallIfStaged();
}

void UpdaterWindow::InstallIfStaged() {
  if (run_.phase() != UpdateRun::Phase::kInstalling) return;
  run_.Install();
  Render();
  if (changed_) changed_();
}

void UpdaterWindow::DL_Finished(std::int32_t value) {
  run_.DL_Finished(value);
  AfterEvent();
}

void UpdaterWindow::DL_Failed(std::int32_t code, std::int32_t extra) {
  run_.DL_Failed(code, extra);
  AfterEvent();
}

void UpdaterWindow::DL_Retrying(std::int32_t attempt, std::int32_t tries) {
  run_.DL_Retrying(attempt, tries);
  AfterEvent();
}

void UpdaterWindow::DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) {
  run_.DL_Progress(fraction, extra1, extra2);
  AfterEvent();
}

}  // namespace vmrk
