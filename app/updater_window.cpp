#include "app/updater_window.h"

#include <cmath>

#include "app/server_address.h"
#include "app/texts.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"

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

}  // namespace

UpdaterWindow::UpdaterWindow(UpdaterServices services)
    : services_(std::move(services)), state_(InitialWindowState()) {}

std::string UpdaterWindow::AppFile(const std::string& name) const {
  return services_.applicationPath + platform::PathSeparator() + name;
}

std::string UpdaterWindow::StagingFolder() const { return AppFile(texts::kStagingFolder); }

UpdaterWindow::LoadOutcome UpdaterWindow::Form_Load() {
  // Every step below is skipped silently when it fails; start-up never stops
  // half way except for the two endings the wizard knows.
  if (services_.instance.AnotherInstanceRunning()) {
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

  const std::string staging = StagingFolder();
  if (!platform::PathExists(staging)) platform::CreateFolder(staging);
  platform::RemoveFilesIn(staging);

  state_.CurFile = 0;
  ShowStep(0);

  const std::string addressFile = state_.AppDir + texts::kAddressFile;
  if (!platform::IsVisibleFile(addressFile)) {
    // Without a server there is nothing to wait for: say so and offer Close
    // instead of leaving a window with no way on.
    state_.statusColor = kRed;
    state_.statusText = texts::kStatusNoAddressFile;
    state_.cmdBegin.caption = texts::kClose;
    state_.cmdBegin.enabled = true;
    return LoadOutcome::kShowWindow;
  }

  std::string text;
  if (!LoadDocumentText(addressFile, &text).ok()) text.clear();
  state_.ServerBase = std::string("http://") + ServerAddressFromText(text) + "/";

  services_.DL.SetSourceURL(state_.ServerBase + texts::kServerFolder + texts::kListFile);
  services_.DL.SetSaveFolder(appPath);
  services_.DL.BeginDownload();
  state_.statusText = texts::kStatusFetchingList;
  return LoadOutcome::kShowWindow;
}

void UpdaterWindow::ShowStep(std::int16_t step) {
  for (StepLabel& label : state_.steps) label = {false, kPlainBackground, kGreyText};
  StepLabel& current = state_.steps.at(static_cast<size_t>(step));
  current = {true, kHighlightBackground, kBlackText};
}

void UpdaterWindow::cmdBegin_Click() {
  if (state_.cmdBegin.caption == texts::kNext || state_.cmdBegin.caption == texts::kFinish) {
    // Next and Finish arrive with the update flow.
    return;
  }
  state_.closeRequested = true;
}

void UpdaterWindow::cmdCancel_Click() {
  services_.DL.AbortDownload();
  state_.closeRequested = true;
}

void UpdaterWindow::Label1_Click() { services_.desktop.ShellOpen(texts::HomePageAddress()); }

void UpdaterWindow::Form_KeyDown(std::int16_t keyCode, std::int16_t shift) {
  if (keyCode == kKeyF8 && shift == kShiftOnly) state_.Command2.visible = true;
}

void UpdaterWindow::Timer1_Timer() {
  std::string value =
      services_.settings.Read(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "0");
  if (value != "1") return;
  services_.settings.Write(texts::kSettingsApp, texts::kSettingsSection, texts::kSettingsKey, "0");
  services_.desktop.ShowAndActivateOwnWindow();
  services_.desktop.RestoreOwnWindow();
}

void UpdaterWindow::DL_Finished(std::int32_t value) {
  if (value <= 0) return;
  // The list check and the file sequence arrive with the update flow; until
  // then the arrived list simply stays in the application folder.
}

void UpdaterWindow::DL_Failed(std::int32_t code, std::int32_t /*extra*/) {
  if (code == kCannotDownload || code == kTooManyRedirects || code == kNoResponse || code == kUnknownFailure)
    ShowFailure();
}

void UpdaterWindow::ShowFailure() {
  state_.statusText = texts::kStatusFailed;
  state_.statusColor = kRed;
  state_.cmdBegin.caption = texts::kClose;
  state_.cmdBegin.enabled = true;
  state_.cmdCancel.enabled = false;
}

void UpdaterWindow::DL_Progress(float fraction, std::int32_t, std::int32_t) {
  if (state_.CurFile <= 0 || static_cast<size_t>(state_.CurFile) > state_.rows.size()) return;
  long percent = std::lround(static_cast<double>(fraction) * 100.0);
  state_.rows[static_cast<size_t>(state_.CurFile) - 1].status = std::to_string(percent) + "%";
}

}  // namespace vmrk
