#pragma once

// The X11 side of the Linux context: the front window and its application
// (Xwayland windows included), and the input state. Without a display there
// is no front application; an input fact that cannot be read reads as the
// user being busy. An X error is a failed read; a lost X server is
// reconnected to on a later call.

#include <X11/Xlib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "context/accessibility.h"

namespace morvik::context::linux {

struct FrontWindow {
  Window window = 0;
  std::int32_t processIdentifier = 0;
  // The reverse-DNS id of a GTK application or a Flatpak, else the window class.
  std::optional<std::string> identifier;
  std::optional<std::string> windowClass;
};

class X11Session final : public InputState {
 public:
  // `countInput`: count raw key presses, clicks and drags from now on (X
  // keeps no session counters of its own).
  explicit X11Session(bool countInput);
  ~X11Session() override;
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  // Reconnects to a display that was lost, and counts the pending input
  // whatever else is read, so that events never pile up in Xlib's queue.
  std::optional<FrontWindow> frontWindow();

  // InputState
  std::uint32_t counter(EventType type) override;
  std::uint64_t flags() override;
  double secondsSinceLastEvent(EventType type) override;
  bool buttonState(MouseButton button) override;

 private:
  bool connect();
  std::optional<std::string> textProperty(Window window, Atom property);
  void countPendingInput();
  std::optional<unsigned int> pointerMask();
  static void displayLost(Display* display, void* session);

  const bool countInput_;
  Display* display_ = nullptr;
  bool lost_ = false;  // the connection broke; closed and reopened on the next call
  Window root_ = 0;
  int xinput_ = -1;  // the XInput extension's opcode, once raw events are selected
  bool leftHeld_ = false;
  std::map<EventType, std::uint32_t> counts_;
};

}  // namespace morvik::context::linux
