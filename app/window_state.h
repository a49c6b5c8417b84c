// Everything the updater window shows, as plain data. The core changes it in
// its handlers; a front end only draws it. Names follow the window's controls.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "updatelist/file_row.h"

namespace vmrk {

struct Rgb {
  std::uint8_t red = 0, green = 0, blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kRed{255, 0, 0};

struct StepLabel {
  bool border = false;
  Rgb background{236, 233, 216};
  Rgb text{200, 200, 200};
  friend bool operator==(const StepLabel&, const StepLabel&) = default;
};

struct ButtonState {
  std::string caption;
  bool enabled = false;
  bool visible = true;
  friend bool operator==(const ButtonState&, const ButtonState&) = default;
};

// What the main button does; its caption is this action's text, and nothing
// decides by the caption.
enum class BeginAction { kNext, kFinish, kClose };
const char* CaptionOf(BeginAction action);

struct WindowState {
  // Change counters, so that a front end draws only what changed and an idle
  // window does no work: revision grows with every change of anything below;
  // rowsRevision grows when the rows are replaced as a whole (a new list),
  // not when one row's text changes. Between two replacements the rows being
  // fetched (several at once, in any order) change: rowChangedAt[i] is the
  // revision at which row i+1 last did, so a front end repaints only the rows
  // changed since the revision it last drew.
  std::uint64_t revision = 1;
  std::uint64_t rowsRevision = 1;
  std::vector<std::uint64_t> rowChangedAt;

  // Picture1, the step panel.
  Rgb panelBackground{192, 255, 192};
  // Label2(0..2). At design the first step is already highlighted.
  std::array<StepLabel, 3> steps{StepLabel{true, {255, 192, 128}, {0, 0, 0}}, StepLabel{}, StepLabel{}};
  // Label3(4), the status line; nullopt colour is the window's default text colour.
  std::string statusText;
  std::optional<Rgb> statusColor;
  ButtonState cmdBegin;
  BeginAction beginAction = BeginAction::kNext;
  ButtonState cmdCancel;
  ButtonState Command2;
  bool fileListVisible = false;  // File1
  // ListView1: rows 1..n are rows[0..n-1]; selectedRow is 1-based, 0 for none.
  std::vector<FileRow> rows;
  int selectedRow = 0;
  // The download strip: per mille of the release's bytes fetched; -1 before
  // any file is, and after the fetch where it stopped.
  int downloadPerMille = -1;
  // Set once the window has been asked to close; the program then ends.
  bool closeRequested = false;
  // The core is about to work without returning to the event loop: a front
  // end draws at once rather than when the loop comes round.
  bool busy = false;

  // Window variables.
  std::string AppDir;
  std::string ServerBase;
  platform::WindowHandle ForeWnd = 0;
  std::string ForeTitle;
  std::int32_t CurFile = 0;
  std::string ListText;
};

// The state of a freshly created window, before its load handler runs.
WindowState InitialWindowState();

}  // namespace vmrk
