#pragma once

// The accessibility interface on Linux: AT-SPI over the accessibility bus
// for an X11 session. The permission is "the accessibility bus is reachable
// and enabled"; AT-SPI roles and states map to the macOS attributes the
// snapshot reads; each call carries the messaging timeout of the element it
// is made on. The front application comes from X11.

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <map>
#include <memory>
#include <string>

#include "context/accessibility.h"
#include "context/linux/x11_session.h"

namespace morvik::context::linux {

class AtspiAccessibility final : public Accessibility {
 public:
  explicit AtspiAccessibility(X11Session& x11);
  ~AtspiAccessibility() override;

  bool isProcessTrusted() override;
  std::optional<FrontApplication> frontmostApplication() override;
  ElementRef applicationElement(std::int32_t processIdentifier) override;
  void setMessagingTimeout(const ElementRef& element, float seconds) override;
  AttributeRead copyAttributeValue(const ElementRef& element, const std::string& attribute) override;
  Settable isAttributeSettable(const ElementRef& element, const std::string& attribute) override;
  std::uint64_t hash(const ElementRef& element) override;

 private:
  std::optional<std::string> displayName(const FrontWindow& front);
  void connectAtspi();
  // The session bus, connected once and again when it closes; none while it
  // does not answer.
  GDBusConnection* sessionBus();
  static void sessionReady(GObject* source, GAsyncResult* result, gpointer accessibility);
  // Whether the accessibility bus went away under libatspi.
  bool busLost();

  X11Session& x11_;
  bool atspiReady_ = false;
  // The front window of the last frontmostApplication: the one whose
  // application the snapshot then reads.
  std::optional<FrontWindow> front_;
  std::map<std::string, std::optional<std::string>> desktopNames_;
  std::map<std::int32_t, std::optional<std::string>> applicationNames_;
  unsigned idleTicks_ = 0;
  bool frontHung_ = false;
  // The registry's proxy, kept to give it the new bus when the bus comes back,
  // and the registry's unique name on the bus that proxy served.
  AtspiApplication* registry_ = nullptr;
  std::string registryName_;
  GDBusConnection* session_ = nullptr;
  bool connecting_ = false;  // a read of the front application timed out in this snapshot
};

}  // namespace morvik::context::linux
