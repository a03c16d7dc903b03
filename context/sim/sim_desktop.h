#pragma once

// A simulated desktop for tests, demos and app development: applications
// with windows, sheets, dialogs and modal flags, focused elements with roles
// and states, element trees for the page-address search, reads that fail,
// and the input counters, modifiers and buttons. Tests script it element by
// element, ugly parts included: reads spend virtual time and give up at the
// element's messaging timeout (the platform's 6 s when none is set), an
// application stops answering, windows and elements vanish or the front
// application changes between two reads, and the display or the
// accessibility bus goes away.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/main_loop.h"
#include "context/accessibility.h"
#include "context/platform_context.h"

namespace morvik::context::sim {

class SimElement final : public Element {
 public:
  explicit SimElement(std::uint64_t hash = 0) : hashValue(hash) {}

  SimElement& set(const std::string& attribute, Value value);
  SimElement& fail(const std::string& attribute, AXError error);
  SimElement& children(const std::vector<std::shared_ptr<SimElement>>& elements);
  SimElement& settableAttribute(const std::string& attribute, Settable answer);
  // Runs right after the attribute was read: the desktop changing between two reads.
  SimElement& after(const std::string& attribute, std::function<void()> change);

  // Reads not scripted fail with "no value" (as for an attribute the element does not have).
  std::map<std::string, AttributeRead> attributes;
  std::map<std::string, Settable> settable;
  std::map<std::string, std::function<void()>> changes;
  // The virtual time each read of this element takes; one that takes longer
  // than the element's timeout gives up at the timeout.
  channel::Duration readCost{};
  // Its application does not answer: every read waits for the timeout.
  bool hung = false;
  // Closed or quit: every read fails at once.
  bool gone = false;
  // The last messaging timeout set on it.
  std::optional<float> timeout;
  std::uint64_t hashValue;
};

enum class Bus { up, stalled, lost };

class SimDesktop final : public Accessibility, public InputState, public ContextPlatform {
 public:
  // Accessibility
  bool isProcessTrusted() override { return trusted; }
  std::optional<FrontApplication> frontmostApplication() override;
  ElementRef applicationElement(std::int32_t processIdentifier) override;
  void setMessagingTimeout(const ElementRef& element, float seconds) override;
  AttributeRead copyAttributeValue(const ElementRef& element, const std::string& attribute) override;
  Settable isAttributeSettable(const ElementRef& element, const std::string& attribute) override;
  std::uint64_t hash(const ElementRef& element) override;

  // InputState
  std::uint32_t counter(EventType type) override;
  std::uint64_t flags() override { return heldFlags; }
  double secondsSinceLastEvent(EventType) override { return secondsSinceKeyDown; }
  bool buttonState(MouseButton button) override { return button == MouseButton::left ? leftHeld : rightHeld; }

  // ContextPlatform
  Accessibility& accessibility() override { return *this; }
  InputState& input() override { return *this; }

  // Scripting.
  std::shared_ptr<SimElement> addApplication(FrontApplication application);
  bool trusted = true;
  // Without a display there is no front application; a stalled bus answers
  // no read before its timeout, a lost one none at all.
  bool display = true;
  Bus bus = Bus::up;
  channel::Duration defaultTimeout = std::chrono::seconds(6);
  std::optional<FrontApplication> front;
  std::map<std::int32_t, std::shared_ptr<SimElement>> applications;
  std::map<std::int32_t, FrontApplication> known;
  std::map<EventType, std::uint32_t> counters;
  std::uint64_t heldFlags = 0;
  double secondsSinceKeyDown = 30;
  bool leftHeld = false;
  bool rightHeld = false;
  // How a slow read spends its time (a test's manual loop moves its clock).
  std::function<void(channel::Duration)> spend;
  // The default desktop's user: the front application changes every few
  // looks at it, and counters grow as the user types.
  std::vector<std::int32_t> rotation;
  int lookedAtFront = 0;

 private:
  // One message to the element's application: its cost and its failure.
  AXError message(SimElement& element);
};

// A desktop with a text editor whose text area has the focus and a browser
// showing a page, taking turns in front, and a user typing.
std::unique_ptr<SimDesktop> makeDefaultDesktop();

}  // namespace morvik::context::sim
