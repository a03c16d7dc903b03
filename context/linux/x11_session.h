#pragma once

// The X11 side of the Linux context: the front window and its application
// (Xwayland windows included), and the input state. Without a display there
// is no front application and no input.

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

  bool connected() const { return display_ != nullptr; }
  std::optional<FrontWindow> frontWindow();

  // InputState
  std::uint32_t counter(EventType type) override;
  std::uint64_t flags() override;
  double secondsSinceLastEvent(EventType type) override;
  bool buttonState(MouseButton button) override;

 private:
  std::optional<std::string> textProperty(Window window, Atom property);
  void countPendingInput();

  Display* display_ = nullptr;
  Window root_ = 0;
  int xinput_ = -1;  // the XInput extension's opcode, once raw events are selected
  bool leftHeld_ = false;
  std::map<EventType, std::uint32_t> counts_;
};

}  // namespace morvik::context::linux
