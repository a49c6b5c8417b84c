#include "platform/posix/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <string>

namespace vmrk::platform {
namespace {

// One short-lived connection per question: these are asked a couple of times
// per run, and a connection kept open would outlive a display that went away.
class Connection {
 public:
  Connection() {
    const char* name = std::getenv("DISPLAY");
    if (name != nullptr && name[0] != '\0') display_ = XOpenDisplay(nullptr);
  }
  ~Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Display* get() const { return display_; }

 private:
  Display* display_ = nullptr;
};

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// Reads a property as raw bytes; empty when it is missing or of another type.
std::string Property(Display* display, Window window, Atom property, Atom type, int* format = nullptr) {
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 1 << 16, False, type, &actualType, &actualFormat,
                         &count, &after, &data) != Success ||
      data == nullptr) {
    return {};
  }
  std::string bytes;
  if (actualType == type || type == AnyPropertyType) {
    // Format-32 items are longs on the client side, whatever their wire size.
    size_t itemSize = actualFormat == 32 ? sizeof(long) : static_cast<size_t>(actualFormat / 8);
    bytes.assign(reinterpret_cast<char*>(data), count * itemSize);
    if (format != nullptr) *format = actualFormat;
  }
  XFree(data);
  return bytes;
}

}  // namespace

WindowHandle X11ForegroundWindow() {
  Connection connection;
  Display* display = connection.get();
  if (display == nullptr) return 0;
  auto oldHandler = XSetErrorHandler(IgnoreErrors);
  Window found = None;
  Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
  if (active != None) {
    std::string bytes = Property(display, DefaultRootWindow(display), active, XA_WINDOW);
    if (bytes.size() >= sizeof(long)) found = static_cast<Window>(*reinterpret_cast<const long*>(bytes.data()));
  }
  if (found == None) {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    // PointerRoot (1) and None (0) name no real window.
    if (focus != None && focus != PointerRoot && focus != DefaultRootWindow(display)) found = focus;
  }
  XSync(display, False);
  XSetErrorHandler(oldHandler);
  return static_cast<WindowHandle>(found);
}

std::string X11WindowTitle(WindowHandle handle) {
  if (handle == 0) return {};
  Connection connection;
  Display* display = connection.get();
  if (display == nullptr) return {};
  auto oldHandler = XSetErrorHandler(IgnoreErrors);
  Window window = static_cast<Window>(handle);
  std::string title;
  Atom netName = XInternAtom(display, "_NET_WM_NAME", True);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", True);
  if (netName != None && utf8 != None) title = Property(display, window, netName, utf8);
  if (title.empty()) {
    XTextProperty text{};
    if (XGetWMName(display, window, &text) != 0 && text.value != nullptr) {
      char** list = nullptr;
      int count = 0;
      // Converts from whatever encoding WM_NAME carries (Latin-1, compound text).
      if (Xutf8TextPropertyToTextList(display, &text, &list, &count) >= Success && list != nullptr) {
        if (count > 0 && list[0] != nullptr) title = list[0];
        XFreeStringList(list);
      }
      XFree(text.value);
    }
  }
  XSync(display, False);
  XSetErrorHandler(oldHandler);
  return title;
}

void X11RequestClose(WindowHandle handle) {
  if (handle == 0) return;
  Connection connection;
  Display* display = connection.get();
  if (display == nullptr) return;
  auto oldHandler = XSetErrorHandler(IgnoreErrors);
  Window window = static_cast<Window>(handle);
  Window root = DefaultRootWindow(display);

  bool managerCloses = false;
  Atom supported = XInternAtom(display, "_NET_SUPPORTED", True);
  Atom netClose = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
  if (supported != None) {
    std::string atoms = Property(display, root, supported, XA_ATOM);
    for (size_t i = 0; i + sizeof(long) <= atoms.size(); i += sizeof(long))
      if (static_cast<Atom>(*reinterpret_cast<const long*>(atoms.data() + i)) == netClose) managerCloses = true;
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.format = 32;
  if (managerCloses) {
    event.xclient.window = window;
    event.xclient.message_type = netClose;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2;  // on the user's behalf, like a pager
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  } else {
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Atom* list = nullptr;
    int count = 0;
    bool takesDelete = false;
    if (XGetWMProtocols(display, window, &list, &count) != 0) {
      for (int i = 0; i < count; ++i) takesDelete |= list[i] == deleteWindow;
      XFree(list);
    }
    if (takesDelete) {
      event.xclient.window = window;
      event.xclient.message_type = protocols;
      event.xclient.data.l[0] = static_cast<long>(deleteWindow);
      event.xclient.data.l[1] = CurrentTime;
      XSendEvent(display, window, False, NoEventMask, &event);
    }
  }
  XSync(display, False);
  XSetErrorHandler(oldHandler);
}

}  // namespace vmrk::platform
