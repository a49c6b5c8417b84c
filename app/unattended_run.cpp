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

CommandLineChoice ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineChoice choice;
  bool silent = false, check = false;
  for (const std::string& argument : arguments) {
    // Windows switches are case-blind; the same spelling serves both systems.
    std::string word = Lower(argument);
    if (word == "/silent" || word == "--silent") silent = true;
    else if (word == "/check" || word == "--check") check = true;
    else if (word == "/restart" || word == "--restart") choice.restart = true;
    else return {CommandLineChoice::kUsage, false};
  }
  if ((silent && check) || (choice.restart && !silent)) return {CommandLineChoice::kUsage, false};
  choice.mode = silent ? CommandLineChoice::kSilent : check ? CommandLineChoice::kCheck : CommandLineChoice::kWindow;
  return choice;
}

UnattendedRun::UnattendedRun(UpdaterWindow& window, CommandLineChoice choice, std::function<void(int)> done)
    : window_(window), choice_(choice), done_(std::move(done)) {}

void UnattendedRun::DL_Finished(std::int32_t value) {
  window_.DL_Finished(value);
  Advance();
}

void UnattendedRun::DL_Failed(std::int32_t code, std::int32_t extra) {
  window_.DL_Failed(code, extra);
  Advance();
}

void UnattendedRun::DL_Progress(float fraction, std::int32_t extra1, std::int32_t extra2) {
  window_.DL_Progress(fraction, extra1, extra2);
}

void UnattendedRun::DL_Retrying(std::int32_t attempt, std::int32_t tries) {
  window_.DL_Retrying(attempt, tries);
}

std::optional<int> UnattendedRun::StatusOf(const WindowState& state, bool check) {
  if (!state.cmdBegin.enabled) return std::nullopt;  // a transfer runs
  const std::string& caption = state.cmdBegin.caption;
  const std::string& status = state.statusText;
  if (caption == texts::kNext) return check ? std::optional<int>(kExitUpdatesAvailable) : std::nullopt;
  if (caption == texts::kFinish) return status == texts::kStatusPartlyUpdated ? kExitPartly : kExitDone;
  if (status == texts::kStatusUpToDate) return kExitDone;
  if (status == texts::kStatusFailed || status == texts::kStatusCannotWrite) return kExitTransferFailed;
  // The list or its manifest refused, a file unlike the one the manifest
  // names, or no server to ask at all.
  return kExitRefused;
}

void UnattendedRun::Advance() {
  if (ended_) return;
  const WindowState& state = window_.state();
  if (choice_.mode == CommandLineChoice::kSilent && state.cmdBegin.enabled && state.cmdBegin.caption == texts::kNext) {
    window_.cmdBegin_Click();  // Next: the downloads begin
    return;
  }
  std::optional<int> status = StatusOf(state, choice_.mode == CommandLineChoice::kCheck);
  if (!status) return;
  ended_ = true;
  if (choice_.restart && state.cmdBegin.caption == texts::kFinish) window_.cmdBegin_Click();  // Finish
  done_(*status);
}

}  // namespace vmrk
