#include "app/window_layout.h"

#include <cstring>

#include "app/texts.h"

namespace vmrk {
namespace {

constexpr FontSpec kHeiArrow{FontFace::kHei, 42, true, false};
constexpr FontSpec kSongStep{FontFace::kSong, 10.5, true, false};
constexpr FontSpec kHeiLink{FontFace::kHei, 12, false, true};
constexpr FontSpec kSongHeading{FontFace::kSong, 9, true, false};
constexpr FontSpec kSongSmall{FontFace::kSong, 9, false, false};
constexpr FontSpec kDefault{};
constexpr Rgb kArrowGreen{0, 192, 0};
constexpr Rgb kLinkBlue{0, 0, 255};
constexpr Rgb kGrey{128, 128, 128};
constexpr Rgb kWhite{255, 255, 255};

using K = ControlKind;
using A = TextAlign;

const ControlSpec kControls[] = {
    {"Timer1", K::kTimer, false, {0, 0, 0, 0}, "", kDefault, std::nullopt, false, A::kLeft},
    {"File1", K::kFileList, false, {9120, 6000, 1575, 2430}, "", kDefault, std::nullopt, false, A::kLeft},
    {"Command2", K::kButton, false, {5520, 5520, 1095, 375}, texts::kGenerateList, kDefault, std::nullopt, false,
     A::kCenter},
    {"cmdCancel", K::kButton, false, {3600, 5505, 1335, 390}, texts::kCancel, kDefault, std::nullopt, false,
     A::kCenter},
    {"cmdBegin", K::kButton, false, {2160, 5505, 1335, 390}, texts::kNext, kDefault, std::nullopt, false,
     A::kCenter},
    {"Picture1", K::kPanel, false, {240, 240, 1620, 5655}, "", kDefault, std::nullopt, false, A::kLeft},
    {"Label4(1)", K::kLabel, true, {360, 3360, 855, 840}, texts::kArrow, kHeiArrow, kArrowGreen, true, A::kLeft},
    {"Label4(0)", K::kLabel, true, {360, 1320, 855, 840}, texts::kArrow, kHeiArrow, kArrowGreen, true, A::kLeft},
    {"Label2(2)", K::kLabel, true, {120, 4320, 1335, 1050}, texts::kStep2, kSongStep, std::nullopt, false,
     A::kCenter},
    {"Label2(1)", K::kLabel, true, {120, 2280, 1335, 1050}, texts::kStep1, kSongStep, std::nullopt, false,
     A::kCenter},
    {"Label2(0)", K::kLabel, true, {120, 240, 1335, 1050}, texts::kStep0, kSongStep, std::nullopt, false,
     A::kCenter},
    {"RichTextBox1", K::kRichText, false, {6360, 7200, 1095, 375}, "", kDefault, std::nullopt, false, A::kLeft},
    {"ListView1", K::kListView, false, {2160, 480, 7215, 3975}, "", kDefault, std::nullopt, false, A::kLeft},
    {"DL", K::kDownloader, false, {2175, 4560, 7185, 255}, "", kSongSmall, std::nullopt, false, A::kLeft},
    {"Line2(1)", K::kLine, false, {2160, 5295, 7200, 0}, "", kDefault, kWhite, false, A::kLeft},
    {"Label1", K::kLabel, false, {6960, 5550, 2160, 240}, texts::kHomePage, kHeiLink, kLinkBlue, true, A::kLeft},
    {"Label3(7)", K::kLabel, false, {2160, 240, 1950, 180}, texts::kTableHeading, kSongHeading, std::nullopt, true,
     A::kLeft},
    {"Label3(4)", K::kLabel, false, {2160, 5040, 2520, 180}, texts::kStatusInitial, kDefault, std::nullopt, true,
     A::kLeft},
    {"Line2(0)", K::kLine, false, {2160, 5280, 7200, 0}, "", kDefault, kGrey, false, A::kLeft},
};

// Each column is wide enough for its widest text at the default size ("1023k",
// a listed date with its seconds, "重试 1/3"); the location column gives up
// what they take, so the five together span what they always did.
const std::array<ColumnSpec, 5> kColumns{{
    {texts::kColumnNumber, 570, A::kLeft},
    {texts::kColumnLocation, 2390, A::kLeft},
    {texts::kColumnSize, 780, A::kRight},
    {texts::kColumnModified, 2250, A::kLeft},
    {texts::kColumnStatus, 870, A::kCenter},
}};

}  // namespace

const char* CaptionOf(BeginAction action) {
  switch (action) {
    case BeginAction::kNext: return texts::kNext;
    case BeginAction::kFinish: return texts::kFinish;
    case BeginAction::kClose: break;
  }
  return texts::kClose;
}

std::span<const ControlSpec> WindowControls() { return kControls; }

const ControlSpec* ControlNamed(const char* name) {
  for (const ControlSpec& control : kControls)
    if (std::strcmp(control.name, name) == 0) return &control;
  return nullptr;
}

const std::array<ColumnSpec, 5>& FileTableColumns() { return kColumns; }

WindowState InitialWindowState() {
  WindowState state;
  state.statusText = texts::kStatusInitial;
  state.cmdBegin = {CaptionOf(BeginAction::kNext), false, true};
  state.cmdCancel = {texts::kCancel, false, true};
  state.Command2 = {texts::kGenerateList, true, false};
  return state;
}

}  // namespace vmrk
