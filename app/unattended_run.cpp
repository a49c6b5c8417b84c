#include "app/unattended_run.h"

#include <cctype>

#include "app/texts.h"

namespace vmrk {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string VersionText() { return std::string("vmrkxupdate ") + VMRK_VERSION + "\n"; }

CommandLineChoice ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineChoice choice;
  bool silent = false, check = false, rollback = false;
  for (const std::string& argument : arguments) {
    // Windows switches are case-blind; the same spelling serves both systems.
    std::string word = Lower(argument);
    if (word == "/?" || word == "--help" || word == "-h" || word == "/help") return {CommandLineChoice::kHelp, false};
    if (word == "--version" || word == "/version") return {CommandLineChoice::kVersion, false};
    if (word == "/silent" || word == "--silent") silent = true;
    else if (word == "/check" || word == "--check") check = true;
    else if (word == "/restart" || word == "--restart") choice.restart = true;
    else if (word == "/rollback" || word == "--rollback") rollback = true;
    else return {CommandLineChoice::kUsage, false};
  }
  if (silent + check + rollback > 1 || (choice.restart && !silent)) return {CommandLineChoice::kUsage, false};
  choice.mode = silent     ? CommandLineChoice::kSilent
                : check    ? CommandLineChoice::kCheck
                : rollback ? CommandLineChoice::kRollback
                           : CommandLineChoice::kWindow;
  return choice;
}

UnattendedRun::UnattendedRun(UpdaterWindow& window, CommandLineChoice choice, std::function<void(int)> done)
    : window_(window), choice_(choice), done_(std::move(done)) {
  window_.SetChangeListener([this] { Advance(); });
}

UnattendedRun::~UnattendedRun() { window_.SetChangeListener(nullptr); }

std::optional<int> UnattendedRun::StatusOf(UpdateRun::Phase phase, UpdateRun::Outcome outcome, bool check) {
  using Outcome = UpdateRun::Outcome;
  if (phase == UpdateRun::Phase::kOffered && check) return kExitUpdatesAvailable;
  if (phase != UpdateRun::Phase::kEnded) return std::nullopt;
  switch (outcome) {
    case Outcome::kUpToDate:
    case Outcome::kUpdated:
    case Outcome::kRestored: return kExitDone;
    case Outcome::kRolledBack:
    case Outcome::kRestoreFailed: return kExitRolledBack;
    case Outcome::kNothingToRestore: return kExitRefused;
    case Outcome::kTransferFailed:
    case Outcome::kCannotWrite:
    case Outcome::kNoRoom: return kExitTransferFailed;
    // The list or its manifest refused, a file unlike the one the manifest
    // names, or no server to ask at all.
    case Outcome::kNoServer:
    case Outcome::kListBroken:
    case Outcome::kListRefused:
    case Outcome::kFileRefused: return kExitRefused;
    case Outcome::kRepairFailed: return kExitNotRepaired;
    case Outcome::kNone:
    case Outcome::kCancelled: break;
  }
  return std::nullopt;  // nothing here cancels; an end without an outcome is no end
}

void UnattendedRun::Advance() {
  if (ended_) return;
  const UpdateRun& run = window_.run();
  const bool check = choice_.mode == CommandLineChoice::kCheck;
  if (!check && run.phase() == UpdateRun::Phase::kOffered) {
    window_.cmdBegin_Click();  // Next: the downloads begin
    return;
  }
  std::optional<int> status = StatusOf(run.phase(), run.outcome(), check);
  if (!status) return;
  ended_ = true;
  if (choice_.restart && run.outcome() == UpdateRun::Outcome::kUpdated) window_.cmdBegin_Click();  // Finish
  done_(*status);
}

}  // namespace vmrk
