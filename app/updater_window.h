// frmDLTest, the updater's one window, as portable logic: its state and one
// entry per handler. The road of the update itself is the UpdateRun it
// holds; the window renders that run into its state. A front end creates
// it, calls Form_Load before showing anything, hands it the downloader's
// events (SetEvents(&window)), forwards clicks, keys and timer ticks and
// redraws state() after each, and after each downloader event through
// SetChangeListener.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/texts.h"
#include "app/window_state.h"
#include "downloader/downloader.h"
#include "install/update_run.h"
#include "platform/desktop.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"

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
  // /rollback: after start-up the previous release is put back; no list is
  // fetched.
  bool rollback = false;
  // More downloaders like DL, for files fetched side by side; empty: one
  // transfer at a time.
  std::function<std::unique_ptr<Downloader>()> newDownloader = {};
  // Where hashing, decoding and the installation run; empty: on the event
  // thread, at once.
  std::function<std::unique_ptr<platform::BackgroundWork>()> newWorker = {};
  // Timers on the event thread; empty: a run never stops waiting on its own.
  platform::MakeAlarm newAlarm = {};
};

class UpdaterWindow : public DownloaderEvents {
 public:
  enum class LoadOutcome { kShowWindow, kEndProcess };

  explicit UpdaterWindow(UpdaterServices services);
  UpdaterWindow(const UpdaterWindow&) = delete;
  UpdaterWindow& operator=(const UpdaterWindow&) = delete;

  const WindowState& state() const { return state_; }
  const UpdateRun& run() const { return run_; }

  // Called after each downloader event has been handled and rendered, and
  // before the window installs a release without returning to the event
  // loop (a front end draws then: state().busy).
  void SetChangeListener(std::function<void()> changed) { changed_ = std::move(changed); }

  // kEndProcess: another updater runs and has been asked to come forward; the
  // caller ends at once without showing a window.
  LoadOutcome Form_Load();
  void cmdBegin_Click();
  void cmdCancel_Click();
  void Label1_Click();
  void Form_KeyDown(std::int16_t keyCode, std::int16_t shift);
  void Timer1_Timer();
  void Command2_Click();
  // The window is closed by its title bar or by the system: a run still
  // fetching ends as cancelled, every transfer stopped and nothing staged.
  void Closing();

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
  // The run's state into the window's: rows, row texts, the status line and
  // the buttons, each only when the run changed it.
  void Render();
  void SaveSignedList();
  void AfterEvent();
  // Once every row is staged: the front end has drawn "installing", and the
  // release goes in within the same event.
  void InstallIfStaged();
  // vmrkxupdate.root, and each root kept after it that still follows it.
  Result<RootDocument> ShippedRoot();
  // The channel of the settings, else of myip.txt; the default for a name
  // that cannot be a channel's.
  std::string FollowedChannel(const std::string& addressText);

  UpdaterServices services_;
  WindowState state_;
  UpdateRun run_;
  std::uint64_t renderedRevision_ = 0;
  std::function<void()> changed_;
};

}  // namespace vmrk
