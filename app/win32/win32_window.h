// The Windows rendering of the updater window with the system's own controls.
// Like the Qt front end it only draws the core's WindowState and forwards
// clicks, keys, timer ticks and the downloader's events.
#pragma once

#include <windows.h>

#include <array>
#include <map>
#include <optional>
#include <string>

#include "app/updater_window.h"
#include "downloader/win32/winhttp_downloader.h"

namespace vmrk {

class Win32Window {
 public:
  Win32Window(UpdaterWindow& window, WinHttpDownloader& downloader);
  ~Win32Window();

  // Creates and shows the window; false when it could not be made.
  bool Create(HINSTANCE instance, int show);
  HWND handle() const { return hwnd_; }
  // The window class, by which a second start finds the running updater.
  static const wchar_t* ClassName();
  // Key preview: the message loop hands every key-down here first.
  void PreviewKey(const MSG& message);
  void Render();

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Build();
  void Layout();
  int Px(int twips) const;
  HFONT FontFor(const struct FontSpec& spec);
  HWND Control(const char* name) const;
  void FitToText(HWND label);
  void RenderRows(const WindowState& s, std::uint64_t drawnRevision);
  LRESULT OnListNotify(NMHDR* header);

  UpdaterWindow& window_;
  WinHttpDownloader& downloader_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  // What the controls show now, compared with the state on each change so
  // that only a part that differs is touched (no brush, text or row is
  // rebuilt for a change elsewhere).
  struct Drawn {
    std::uint64_t revision = 0;
    std::optional<Rgb> panel;
    std::array<std::optional<StepLabel>, 3> steps;
    std::optional<std::string> statusText;
    std::optional<Rgb> statusColor;
    std::optional<ButtonState> begin, cancel, generate;
    std::uint64_t rowsRevision = 0;
    int strip = 0;
    int selectedRow = -1;
  } drawn_;
  std::wstring cellText_;  // the list view reads a cell's text from here
  std::map<std::string, HWND> controls_;
  std::map<HWND, COLORREF> textColours_;
  std::map<HWND, HBRUSH> backgrounds_;  // controls with their own background
  std::vector<HFONT> fonts_;
  HBRUSH panelBrush_ = nullptr;
  bool closing_ = false;
};

}  // namespace vmrk
