// The fixed layout of the updater window: every control's place in twips
// (15 twips = 1 pixel at 96 DPI), its font and its static look. Front ends read
// this table to build their controls; nothing in it changes at run time.
#pragma once

#include <array>
#include <span>

#include "app/window_state.h"

namespace vmrk {

enum class ControlKind { kTimer, kFileList, kButton, kPanel, kLabel, kRichText, kListView, kDownloader, kLine };

enum class FontFace { kWindowDefault, kSong /* 宋体 */, kHei /* 黑体 */ };

struct TwipRect {
  int left, top, width, height;  // a line: from (left, top) to (left + width, top + height)
};

struct FontSpec {
  FontFace face = FontFace::kWindowDefault;
  double points = 9;
  bool bold = false;
  bool underline = false;
};

enum class TextAlign { kLeft, kCenter, kRight };

struct ControlSpec {
  const char* name;   // the window's own name, with the element for arrays: "Label2(0)"
  ControlKind kind;
  bool inPanel;       // coordinates relative to Picture1
  TwipRect rect;
  const char* text;
  FontSpec font;
  std::optional<Rgb> textColor;  // nullopt: the system's default
  bool autoSize;      // grows with its text
  TextAlign align;
};

struct ColumnSpec {
  const char* header;
  int widthTwips;
  TextAlign align;
};

inline constexpr int kClientWidthTwips = 9615;
inline constexpr int kClientHeightTwips = 6135;
inline constexpr int kTwipsPerPixelAt96Dpi = 15;

// Controls in the window's own order.
std::span<const ControlSpec> WindowControls();
// The control of that name; nullptr when the table has none (a name spelled
// wrong in the code that asks).
const ControlSpec* ControlNamed(const char* name);
const std::array<ColumnSpec, 5>& FileTableColumns();

}  // namespace vmrk
