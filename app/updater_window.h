// frmDLTest, the updater's one window, as portable logic: its state and one
// entry per handler. A front end creates it, calls Form_Load before showing
// anything, forwards clicks, keys, timer ticks and downloader events, and
// redraws state() after each.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/texts.h"
#include "app/update_log.h"
#include "app/window_state.h"
#include "downloader/downloader.h"
#include "platform/desktop.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "updatelist/release_manifest.h"

namespace vmrk {

struct UpdaterServices {
  platform::Desktop& desktop;
  platform::SettingsStore& settings;
  platform::InstanceLock& instance;
  Downloader& DL;
  // The folder of the updater's program, without a trailing separator.
  std::string applicationPath;
  // The running executable itself, which an update never overwrites.
  std::string runningProgram;
  // The maintainer's release folder, with its trailing separator.
  std::string releaseRoot;
  // The maintainer's signing key; when it exists the hidden button signs
  // the list it writes. Empty: never signs.
  std::string maintainerKeyFile = {};
  // Run without a window (/silent, /check): a running updater is not asked
  // to come forward, and "maintimer" is left alone.
  bool unattended = false;
  // /check: nothing below the application folder is changed (no staging
  // cleanup, no sweep, no serial recorded); the log is still written.
  bool checkOnly = false;
};

class UpdaterWindow : public DownloaderEvents {
 public:
  enum class LoadOutcome { kShowWindow, kEndProcess };

  explicit UpdaterWindow(UpdaterServices services);
  UpdaterWindow(const UpdaterWindow&) = delete;
  UpdaterWindow& operator=(const UpdaterWindow&) = delete;

  const WindowState& state() const { return state_; }

  // kEndProcess: another updater runs and has been asked to come forward; the
  // caller ends at once without showing a window.
  LoadOutcome Form_Load();
  void cmdBegin_Click();
  void cmdCancel_Click();
  void Label1_Click();
  void Form_KeyDown(std::int16_t keyCode, std::int16_t shift);
  void Timer1_Timer();
  void Command2_Click();

  void DL_Finished(std::int32_t value) override;
  void DL_Failed(std::int32_t code, std::int32_t extra) override;
  void DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) override;
  void DL_Retrying(std::int32_t attempt, std::int32_t tries) override;

  void ShowStep(std::int16_t step);

  // Folder of the staging area: application path + separator + "update".
  std::string StagingFolder() const;

 private:
  std::string AppFile(const std::string& name) const;
  void Changed() { ++state_.revision; }
  void ReplaceRows(std::vector<FileRow> rows);
  void ShowFailure(const char* text = texts::kStatusFailed);
  void CheckUpdateList();
  void FetchManifest();
  void SaveSignedList();
  void ManifestArrived();
  void OfferRows(const std::string& listText);
  void ShowListBroken(const char* text = texts::kStatusListBroken);
  std::uint64_t AcceptedSerial();
  void RecordSerial();
  void FileArrived();
  void StartRow();
  void ShowCompleted();

  void Log(const std::string& event) { log_.Event(event); }
  std::string RowName() const;  // "k/n location" of the current row

  UpdaterServices services_;
  WindowState state_;
  UpdateLog log_;
  bool anyRowFailed_ = false;

  // Signed releases: with any trusted key, nothing is offered before the
  // manifest beside the list has verified, and every file must match it.
  std::vector<std::string> trustedKeys_;
  bool awaitingManifest_ = false;
  std::string listBytes_, listText_;
  bool signedRelease_ = false;
  std::uint64_t pendingSerial_ = 0;  // a verified serial above the accepted one, until the release is in
  std::map<std::string, ManifestFile> signedFiles_;
};

}  // namespace vmrk
