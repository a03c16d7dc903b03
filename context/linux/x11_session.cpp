#include "context/linux/x11_session.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/scrnsaver.h>

#include <fstream>
#include <memory>

namespace morvik::context::linux {
namespace {

// XGetWindowProperty's data, freed with XFree.
struct Freed {
  void operator()(unsigned char* data) const { XFree(data); }
};
using PropertyData = std::unique_ptr<unsigned char, Freed>;

std::optional<unsigned long> cardinal(Display* display, Window window, Atom property, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* raw = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &items, &after, &raw) !=
      Success)
    return std::nullopt;
  PropertyData data(raw);
  if (actualType != type || format != 32 || items != 1) return std::nullopt;
  return *reinterpret_cast<unsigned long*>(data.get());
}

// A Flatpak application runs in a cgroup scope named after its id.
std::optional<std::string> flatpakId(std::int32_t pid) {
  std::ifstream cgroup("/proc/" + std::to_string(pid) + "/cgroup");
  const std::string marker = "app-flatpak-";
  for (std::string line; std::getline(cgroup, line);) {
    const auto at = line.find(marker);
    if (at == std::string::npos) continue;
    const std::string rest = line.substr(at + marker.size());
    const auto end = rest.rfind('-');
    if (end != std::string::npos && end > 0) return rest.substr(0, end);
  }
  return std::nullopt;
}

// Xlib's default handlers print on standard error and exit. An X error
// (a window gone between two requests) fails the request it answers; a
// broken connection is noted by the session's exit handler instead.
unsigned long errors = 0;
int countError(Display*, XErrorEvent*) {
  ++errors;
  return 0;
}
int ignoreIOError(Display*) { return 0; }

// Shift, Control, Caps Lock, Alt, Super...: a modifier alone is no key-down.
bool isModifier(Display* display, unsigned int keycode) {
  const KeySym symbol = XkbKeycodeToKeysym(display, static_cast<KeyCode>(keycode), 0, 0);
  return IsModifierKey(symbol);
}

}  // namespace

X11Session::X11Session(bool countInput) : countInput_(countInput) {
  XSetErrorHandler(&countError);
  XSetIOErrorHandler(&ignoreIOError);
  connect();
}

void X11Session::displayLost(Display*, void* session) { static_cast<X11Session*>(session)->lost_ = true; }

bool X11Session::connect() {
  if (lost_) {
    XCloseDisplay(display_);
    display_ = nullptr;
    lost_ = false;
    xinput_ = -1;
    leftHeld_ = false;
  }
  if (display_ != nullptr) return true;
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) return false;
  XSetIOErrorExitHandler(display_, &X11Session::displayLost, this);
  root_ = DefaultRootWindow(display_);
  int event = 0, error = 0, major = 2, minor = 2;  // from 2.1, raw events come despite grabs
  if (!countInput_ || !XQueryExtension(display_, "XInputExtension", &xinput_, &event, &error) ||
      XIQueryVersion(display_, &major, &minor) != Success) {
    xinput_ = -1;
    return !lost_;
  }
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
  XISetMask(bits, XI_RawKeyPress);
  XISetMask(bits, XI_RawButtonPress);
  XISetMask(bits, XI_RawButtonRelease);
  XISetMask(bits, XI_RawMotion);
  XISelectEvents(display_, root_, &mask, 1);
  XFlush(display_);
  return !lost_;
}

X11Session::~X11Session() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

std::optional<std::string> X11Session::textProperty(Window window, Atom property) {
  Atom actualType = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* raw = nullptr;
  if (XGetWindowProperty(display_, window, property, 0, 1024, False, AnyPropertyType, &actualType, &format, &items,
                         &after, &raw) != Success)
    return std::nullopt;
  PropertyData data(raw);
  if (format != 8 || items == 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(data.get()), items);
}

std::optional<FrontWindow> X11Session::frontWindow() {
  if (!connect()) return std::nullopt;
  countPendingInput();
  const Atom active = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
  const auto window = cardinal(display_, root_, active, XA_WINDOW);
  if (!window || *window == None) return std::nullopt;
  const unsigned long errorsBefore = errors;
  FrontWindow front;
  front.window = *window;
  const auto pid = cardinal(display_, front.window, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL);
  front.processIdentifier = pid ? static_cast<std::int32_t>(*pid) : 0;
  // WM_CLASS is the instance name, a NUL, then the class.
  if (const auto classes = textProperty(front.window, XA_WM_CLASS)) {
    const auto separator = classes->find('\0');
    if (separator != std::string::npos)
      front.windowClass = classes->substr(separator + 1, classes->find('\0', separator + 1) - separator - 1);
  }
  // A dialog carries no application id of its own: its main window does.
  const Atom applicationId = XInternAtom(display_, "_GTK_APPLICATION_ID", False);
  front.identifier = textProperty(front.window, applicationId);
  Window owner = None;
  if (!front.identifier && XGetTransientForHint(display_, front.window, &owner) && owner != None)
    front.identifier = textProperty(owner, applicationId);
  if (!front.identifier && front.processIdentifier > 0) front.identifier = flatpakId(front.processIdentifier);
  if (!front.identifier) front.identifier = front.windowClass;
  // A window that vanished while it was read is no front window any more.
  if (lost_ || errors != errorsBefore) return std::nullopt;
  return front;
}

void X11Session::countPendingInput() {
  if (display_ == nullptr || xinput_ < 0) return;
  while (!lost_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    XGenericEventCookie* cookie = &event.xcookie;
    if (cookie->type != GenericEvent || cookie->extension != xinput_ || !XGetEventData(display_, cookie)) continue;
    const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
    switch (cookie->evtype) {
      case XI_RawKeyPress:
        if (!isModifier(display_, static_cast<unsigned int>(raw->detail))) ++counts_[EventType::keyDown];
        break;
      case XI_RawButtonPress:
        if (raw->detail == 1) leftHeld_ = true;
        break;
      case XI_RawButtonRelease:
        if (raw->detail == 1) {
          leftHeld_ = false;
          ++counts_[EventType::leftMouseUp];
        }
        break;
      case XI_RawMotion:
        // A motion with the left button held is a drag event.
        if (leftHeld_) ++counts_[EventType::leftMouseDragged];
        break;
    }
    XFreeEventData(display_, cookie);
  }
}

std::uint32_t X11Session::counter(EventType type) {
  countPendingInput();
  return counts_[type];
}

std::optional<unsigned int> X11Session::pointerMask() {
  if (!connect()) return std::nullopt;
  Window rootReturn = 0, child = 0;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned int mask = 0;
  // False also means the pointer is on another screen, where the mask is
  // still right; only an error or a lost server leaves it unread.
  const unsigned long errorsBefore = errors;
  XQueryPointer(display_, root_, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask);
  if (lost_ || errors != errorsBefore) return std::nullopt;
  return mask;
}

std::uint64_t X11Session::flags() {
  // Modifiers that cannot be read count as held: the save check then waits.
  const auto mask = pointerMask();
  if (!mask) return modifier::shift | modifier::control | modifier::option | modifier::command;
  std::uint64_t flags = 0;
  if (*mask & ShiftMask) flags |= modifier::shift;
  if (*mask & ControlMask) flags |= modifier::control;
  if (*mask & Mod1Mask) flags |= modifier::option;   // Alt
  if (*mask & Mod4Mask) flags |= modifier::command;  // Super
  if (*mask & LockMask) flags |= 0x10000;            // Caps Lock
  return flags;
}

double X11Session::secondsSinceLastEvent(EventType) {
  // The screen saver's idle time: since the last input of any kind. Without
  // it the user may be typing now.
  if (!connect()) return 0.0;
  int event = 0, error = 0;
  if (!XScreenSaverQueryExtension(display_, &event, &error)) return 0.0;
  XScreenSaverInfo info{};
  if (!XScreenSaverQueryInfo(display_, root_, &info) || lost_) return 0.0;
  return static_cast<double>(info.idle) / 1000.0;
}

bool X11Session::buttonState(MouseButton button) {
  const auto mask = pointerMask();
  if (!mask) return true;
  return (*mask & (button == MouseButton::left ? Button1Mask : Button3Mask)) != 0;
}

}  // namespace morvik::context::linux
