#include "app/win32/win32_window.h"

#include <commctrl.h>

#include <algorithm>

#include "app/texts.h"
#include "app/window_layout.h"
#include "platform/win32/utf16_win.h"

namespace vmrk {
namespace {

const wchar_t kClassName[] = L"vmrkxupdate.frmDLTest";
constexpr UINT_PTR kTimer1 = 1;
constexpr int kFirstId = 100;

COLORREF ToColorRef(const Rgb& c) { return RGB(c.red, c.green, c.blue); }

// The original texts break lines with CR LF, which static controls show as is.
std::wstring W(const std::string& text) { return platform::Widen(text); }

int CALLBACK FoundFont(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FontInstalled(const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(wanted.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(dc, &wanted, FoundFont, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

// The design's faces first; where they are missing (Wine, a Western
// Windows without East Asian fonts) a CJK font that also has Latin letters,
// because a bare font match by character set may pick one without them.
const wchar_t* FaceName(FontFace face) {
  static const wchar_t* const kSong[] = {L"宋体", L"SimSun", L"NSimSun", L"Microsoft YaHei", L"WenQuanYi Micro Hei",
                                         L"Noto Sans CJK SC"};
  static const wchar_t* const kHei[] = {L"黑体", L"SimHei", L"Microsoft YaHei", L"WenQuanYi Micro Hei",
                                        L"Noto Sans CJK SC"};
  static const wchar_t* const kDefault[] = {L"Microsoft YaHei UI", L"SimSun", L"WenQuanYi Micro Hei",
                                            L"Noto Sans CJK SC"};
  auto pick = [](const auto& faces) -> const wchar_t* {
    for (const wchar_t* face : faces)
      if (FontInstalled(face)) return face;
    return L"MS Shell Dlg 2";
  };
  switch (face) {
    case FontFace::kSong: return pick(kSong);
    case FontFace::kHei: return pick(kHei);
    case FontFace::kWindowDefault: break;
  }
  return pick(kDefault);
}

int VirtualShiftState() {
  int state = 0;
  if (GetKeyState(VK_SHIFT) & 0x8000) state |= 1;
  if (GetKeyState(VK_CONTROL) & 0x8000) state |= 2;
  if (GetKeyState(VK_MENU) & 0x8000) state |= 4;
  return state;
}

}  // namespace

const wchar_t* Win32Window::ClassName() { return kClassName; }

Win32Window::Win32Window(UpdaterWindow& window, WinHttpDownloader& downloader)
    : window_(window), downloader_(downloader) {
  downloader_.SetEvents(&window_);
  window_.SetChangeListener([this] { Render(); });
}

Win32Window::~Win32Window() {
  downloader_.SetEvents(nullptr);
  window_.SetChangeListener(nullptr);
  for (HFONT font : fonts_) DeleteObject(font);
  for (auto& [control, brush] : backgrounds_) DeleteObject(brush);
  if (panelBrush_ != nullptr) DeleteObject(panelBrush_);
}

int Win32Window::Px(int twips) const { return MulDiv(twips, static_cast<int>(dpi_), 1440); }

HWND Win32Window::Control(const char* name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

HFONT Win32Window::FontFor(const FontSpec& spec) {
  int points10 = static_cast<int>(spec.points * 10 + 0.5);
  HFONT font = CreateFontW(-MulDiv(points10, static_cast<int>(dpi_), 720), 0, 0, 0, spec.bold ? FW_BOLD : FW_NORMAL,
                           FALSE, spec.underline, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           CLEARTYPE_QUALITY, DEFAULT_PITCH, FaceName(spec.face));
  fonts_.push_back(font);
  return font;
}

bool Win32Window::Create(HINSTANCE instance, int show) {
  INITCOMMONCONTROLSEX common{sizeof common, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  HDC screen = GetDC(nullptr);
  dpi_ = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
  ReleaseDC(nullptr, screen);

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, Px(kClientWidthTwips), Px(kClientHeightTwips)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  hwnd_ = CreateWindowExW(0, kClassName, W(texts::kWindowCaption).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                          frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
  if (hwnd_ == nullptr) return false;
  // Timer1 carries the second start's hand-shake for the window's whole
  // life: a window without it would never answer one.
  if (SetTimer(hwnd_, kTimer1, 100, nullptr) == 0) {
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    return false;
  }
  Build();
  Render();
  ShowWindow(hwnd_, show);
  SetForegroundWindow(hwnd_);
  return true;
}

void Win32Window::Build() {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  int id = kFirstId;
  // Created in reverse so that the labels inside the panel lie above it.
  auto controls = WindowControls();
  for (auto it = controls.rbegin(); it != controls.rend(); ++it) {
    const ControlSpec& spec = *it;
    const wchar_t* cls = nullptr;
    // Clipped against each other: the panel must not paint over its labels.
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (spec.kind) {
      case ControlKind::kTimer:
      case ControlKind::kRichText:
      case ControlKind::kFileList:
        continue;  // the timer is SetTimer's; the other two have no window here
      case ControlKind::kButton:
        cls = WC_BUTTONW;
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::kPanel:
        cls = WC_STATICW;
        break;
      case ControlKind::kLabel:
        cls = WC_STATICW;
        style |= SS_NOTIFY | (spec.align == TextAlign::kCenter ? SS_CENTER : SS_LEFT);
        break;
      case ControlKind::kListView:
        cls = WC_LISTVIEWW;
        style |= WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER |
                 LVS_OWNERDATA;
        break;
      case ControlKind::kDownloader:
        cls = PROGRESS_CLASSW;
        break;
      case ControlKind::kLine:
        cls = WC_STATICW;
        break;
    }
    HWND control = CreateWindowExW(0, cls, W(spec.text).c_str(), style, 0, 0, 0, 0, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id++)), instance, nullptr);
    controls_[spec.name] = control;
    if (spec.textColor) textColours_[control] = ToColorRef(*spec.textColor);
    if (spec.kind == ControlKind::kLine) backgrounds_[control] = CreateSolidBrush(ToColorRef(*spec.textColor));
  }
  // The window's own order puts the panel last; raise the panel's labels.
  for (const char* name : {"Label2(0)", "Label2(1)", "Label2(2)", "Label4(0)", "Label4(1)"})
    SetWindowPos(Control(name), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowPos(Control("Picture1"), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

  HWND list = Control("ListView1");
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  int column = 0;
  for (const ColumnSpec& spec : FileTableColumns()) {
    std::wstring header = W(spec.header);
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT | LVCF_FMT;
    c.fmt = spec.align == TextAlign::kRight ? LVCFMT_RIGHT : spec.align == TextAlign::kCenter ? LVCFMT_CENTER : LVCFMT_LEFT;
    c.pszText = header.data();
    ListView_InsertColumn(list, column++, &c);
  }
  HWND strip = Control("DL");
  SendMessageW(strip, PBM_SETRANGE32, 0, 1000);
  Layout();
}

// Positions, fonts and column widths at the window's current DPI: once when
// it is made, again when it moves to a monitor of another DPI.
void Win32Window::Layout() {
  const ControlSpec& panel = *ControlNamed("Picture1");  // in the table, always
  std::vector<HFONT> old;
  old.swap(fonts_);
  for (const ControlSpec& spec : WindowControls()) {
    HWND control = Control(spec.name);
    if (control == nullptr) continue;
    int left = Px(spec.rect.left + (spec.inPanel ? panel.rect.left : 0));
    int top = Px(spec.rect.top + (spec.inPanel ? panel.rect.top : 0));
    int height = spec.kind == ControlKind::kLine ? std::max(1, Px(15)) : Px(spec.rect.height);
    SetWindowPos(control, nullptr, left, top, Px(spec.rect.width), height, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(spec.font)), TRUE);
    if (spec.autoSize) FitToText(control);
  }
  for (HFONT font : old) DeleteObject(font);  // no control holds them any more
  HWND list = Control("ListView1");
  int column = 0;
  for (const ColumnSpec& spec : FileTableColumns()) ListView_SetColumnWidth(list, column++, Px(spec.widthTwips));
}

void Win32Window::FitToText(HWND label) {
  int length = GetWindowTextLengthW(label);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(label, text.data(), length + 1);
  text.resize(static_cast<size_t>(length));
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  RECT box{0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), -1, &box, DT_CALCRECT | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  SetWindowPos(label, nullptr, 0, 0, box.right + 2, box.bottom, SWP_NOMOVE | SWP_NOZORDER);
}

void Win32Window::Render() {
  const WindowState& s = window_.state();
  // Timer ticks and repeated progress reports change nothing: draw nothing.
  if (s.revision == drawn_.revision) return;
  const std::uint64_t before = drawn_.revision;
  drawn_.revision = s.revision;
  if (drawn_.panel != s.panelBackground) {
    drawn_.panel = s.panelBackground;
    if (panelBrush_ != nullptr) DeleteObject(panelBrush_);
    panelBrush_ = CreateSolidBrush(ToColorRef(s.panelBackground));
    InvalidateRect(Control("Picture1"), nullptr, TRUE);
  }
  for (size_t i = 0; i < 3; ++i) {
    const StepLabel& step = s.steps[i];
    if (drawn_.steps[i] == step) continue;
    drawn_.steps[i] = step;
    HWND label = Control(i == 0 ? "Label2(0)" : i == 1 ? "Label2(1)" : "Label2(2)");
    LONG_PTR style = GetWindowLongPtrW(label, GWL_STYLE);
    LONG_PTR wanted = step.border ? (style | WS_BORDER) : (style & ~static_cast<LONG_PTR>(WS_BORDER));
    if (wanted != style) {
      SetWindowLongPtrW(label, GWL_STYLE, wanted);
      SetWindowPos(label, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    }
    if (backgrounds_.count(label)) DeleteObject(backgrounds_[label]);
    backgrounds_[label] = CreateSolidBrush(ToColorRef(step.background));
    textColours_[label] = ToColorRef(step.text);
    InvalidateRect(label, nullptr, TRUE);
  }
  if (drawn_.statusText != s.statusText || drawn_.statusColor != s.statusColor) {
    HWND status = Control("Label3(4)");
    if (drawn_.statusText != s.statusText) {
      SetWindowTextW(status, W(s.statusText).c_str());
      FitToText(status);
    }
    if (s.statusColor) textColours_[status] = ToColorRef(*s.statusColor);
    drawn_.statusText = s.statusText;
    drawn_.statusColor = s.statusColor;
    InvalidateRect(status, nullptr, TRUE);
  }
  if (drawn_.begin != s.cmdBegin) {
    HWND begin = Control("cmdBegin");
    if (!drawn_.begin || drawn_.begin->caption != s.cmdBegin.caption)
      SetWindowTextW(begin, W(s.cmdBegin.caption).c_str());
    EnableWindow(begin, s.cmdBegin.enabled);
    drawn_.begin = s.cmdBegin;
  }
  if (drawn_.cancel != s.cmdCancel) {
    EnableWindow(Control("cmdCancel"), s.cmdCancel.enabled);
    drawn_.cancel = s.cmdCancel;
  }
  if (drawn_.generate != s.Command2) {
    HWND generate = Control("Command2");
    EnableWindow(generate, s.Command2.enabled);
    ShowWindow(generate, s.Command2.visible ? SW_SHOW : SW_HIDE);
    drawn_.generate = s.Command2;
  }
  RenderRows(s, before);
  // Painted before the work holds the thread, the child controls too.
  if (s.busy && hwnd_ != nullptr) RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  if (s.closeRequested && !closing_) {
    closing_ = true;
    KillTimer(hwnd_, kTimer1);
    // After the current event, never from inside the downloader's.
    PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  }
}

// The list view holds no texts of its own (LVS_OWNERDATA): it asks for the
// cells it paints. A new list sets the count; otherwise only the rows changed
// since the last drawing are repainted.
void Win32Window::RenderRows(const WindowState& s, std::uint64_t drawnRevision) {
  HWND list = Control("ListView1");
  int count = static_cast<int>(s.rows.size());
  if (s.rowsRevision != drawn_.rowsRevision) {
    drawn_.rowsRevision = s.rowsRevision;
    ListView_SetItemCountEx(list, count, 0);
    InvalidateRect(list, nullptr, TRUE);
  } else {
    for (size_t i = 0; i < s.rowChangedAt.size(); ++i)
      if (s.rowChangedAt[i] > drawnRevision) ListView_RedrawItems(list, static_cast<int>(i), static_cast<int>(i));
  }
  if (const int strip = std::max(0, s.downloadPerMille); strip != drawn_.strip) {
    drawn_.strip = strip;
    SendMessageW(Control("DL"), PBM_SETPOS, strip, 0);
  }
  if (s.selectedRow != drawn_.selectedRow) {
    drawn_.selectedRow = s.selectedRow;
    if (s.selectedRow > 0 && s.selectedRow <= count) {
      int item = s.selectedRow - 1;
      ListView_SetItemState(list, item, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
      ListView_EnsureVisible(list, item, FALSE);
    }
  }
}

LRESULT Win32Window::OnListNotify(NMHDR* header) {
  if (header->code != LVN_GETDISPINFOW) return 0;
  auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
  const std::vector<FileRow>& rows = window_.state().rows;
  if (!(info->item.mask & LVIF_TEXT) || info->item.iItem < 0 ||
      info->item.iItem >= static_cast<int>(rows.size()))
    return 0;
  const FileRow& row = rows[static_cast<size_t>(info->item.iItem)];
  const std::string* cells[] = {&row.number, &row.location, &row.size, &row.modified, &row.status};
  int column = info->item.iSubItem;
  cellText_ = column >= 0 && column < 5 ? W(*cells[column]) : std::wstring();
  info->item.pszText = cellText_.data();
  return 0;
}

void Win32Window::PreviewKey(const MSG& message) {
  if ((message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN) || closing_) return;
  if (message.hwnd != hwnd_ && !IsChild(hwnd_, message.hwnd)) return;
  window_.Form_KeyDown(static_cast<std::int16_t>(message.wParam), static_cast<std::int16_t>(VirtualShiftState()));
  Render();
}

LRESULT CALLBACK Win32Window::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->hwnd_ == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT Win32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      HWND from = reinterpret_cast<HWND>(lParam);
      if (HIWORD(wParam) != BN_CLICKED && HIWORD(wParam) != STN_CLICKED) break;
      if (from == Control("cmdBegin")) window_.cmdBegin_Click();
      else if (from == Control("cmdCancel")) window_.cmdCancel_Click();
      else if (from == Control("Command2")) window_.Command2_Click();
      else if (from == Control("Label1")) window_.Label1_Click();
      else break;
      Render();
      return 0;
    }
    case WM_TIMER:
      if (wParam == kTimer1) {
        window_.Timer1_Timer();
        Render();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (control == Control("Picture1")) return reinterpret_cast<LRESULT>(panelBrush_);
      if (auto colour = textColours_.find(control); colour != textColours_.end()) SetTextColor(dc, colour->second);
      if (auto brush = backgrounds_.find(control); brush != backgrounds_.end()) {
        LOGBRUSH info;
        GetObjectW(brush->second, sizeof info, &info);
        SetBkColor(dc, info.lbColor);
        return reinterpret_cast<LRESULT>(brush->second);
      }
      // Transparent labels: the panel's colour inside it, the window's outside.
      SetBkMode(dc, TRANSPARENT);
      RECT r;
      GetWindowRect(control, &r);
      RECT panel;
      GetWindowRect(Control("Picture1"), &panel);
      POINT corner{r.left, r.top};
      if (PtInRect(&panel, corner)) return reinterpret_cast<LRESULT>(panelBrush_);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED: {
      // Per-monitor aware: the window takes the size Windows suggests for
      // the new monitor, and everything in it is laid out again.
      dpi_ = HIWORD(wParam);
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      InvalidateRect(hwnd_, nullptr, TRUE);
      return 0;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->hwndFrom == Control("ListView1")) return OnListNotify(header);
      break;
    }
    case WM_SETCURSOR:
      // The hand over the link alone: the cursor of the static class is
      // every label's, so it is set here, per control, and nowhere else.
      if (reinterpret_cast<HWND>(wParam) == Control("Label1") && LOWORD(lParam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      window_.Closing();
      downloader_.AbortDownload();
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace vmrk
