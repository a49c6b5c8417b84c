// Updates without a window, for administrators: the command line's choice,
// and a run of the window's own handlers that ends in an exit status.
//   vmrkxupdate /silent [/restart]   check, fetch and install; no window
//   vmrkxupdate /check               only say whether updates are waiting
// "--silent", "--restart" and "--check" are the same on every system.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_window.h"

namespace vmrk {

struct CommandLineChoice {
  // kHelp and kVersion: print the usage or the version and end with 0.
  enum Mode { kWindow, kSilent, kCheck, kRollback, kUsage, kHelp, kVersion } mode = kWindow;
  bool restart = false;  // /silent only: start the player after a complete update
};

// arguments without the program's own name.
CommandLineChoice ParseCommandLine(const std::vector<std::string>& arguments);

inline constexpr char kUsageText[] =
    "usage: vmrkxupdate [/silent [/restart] | /check | /rollback | /? | --version]\n"
    "  /silent    update without a window; exit status 0 up to date or updated, 2 list or manifest\n"
    "             refused, 3 transfer failed, 4 another updater is running, 5 the release could not\n"
    "             be installed and the installation is as it was\n"
    "  /restart   with /silent: start the player once the update is complete\n"
    "  /check     change nothing; exit status 0 nothing to do, 10 updates available (2, 3, 4 as above)\n"
    "  /rollback  put the previous release back; exit status 0 restored, 2 nothing to restore,\n"
    "             5 it could not be restored and nothing changed (4 as above)\n"
    "  Every mode: exit status 6 when an interrupted installation could not be put right;\n"
    "  nothing else was done, and the next start tries again.\n"
    "  /?         this text (also --help, -h); --version prints the updater's version\n"
    "  --silent, --restart, --check and --rollback are the same.\n";

// "vmrkxupdate VERSION\n".
std::string VersionText();

enum ExitStatus : int {
  kExitDone = 0,
  kExitPartly = 1,  // retired: a release goes in whole or not at all
  kExitRefused = 2,
  kExitTransferFailed = 3,
  kExitAnotherRunning = 4,
  kExitRolledBack = 5,
  kExitNotRepaired = 6,  // an interrupted installation could not be put right; kept for the next start
  kExitUpdatesAvailable = 10,
  kExitUsage = 64,
};

// Listens to the window: after each of its downloader events, clicks what a
// user would (Next, and Finish with /restart) and, once the update has
// reached an end, calls done with the exit status, once. The downloader's
// events go to the window itself.
class UnattendedRun {
 public:
  UnattendedRun(UpdaterWindow& window, CommandLineChoice choice, std::function<void(int)> done);
  ~UnattendedRun();
  UnattendedRun(const UnattendedRun&) = delete;
  UnattendedRun& operator=(const UnattendedRun&) = delete;
  // After Form_Load has returned kShowWindow: start-up may have ended already.
  void Started() { Advance(); }

  // The exit status of the run's state, when it is an end (or, with check,
  // rows on offer); nullopt while it runs.
  static std::optional<int> StatusOf(UpdateRun::Phase phase, UpdateRun::Outcome outcome, bool check);

 private:
  void Advance();

  UpdaterWindow& window_;
  CommandLineChoice choice_;
  std::function<void(int)> done_;
  bool ended_ = false;
};

}  // namespace vmrk
