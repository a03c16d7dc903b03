#pragma once

// A simulated desktop for tests, demos and app development: applications
// with windows, sheets, dialogs and modal flags, focused elements with roles
// and states, element trees for the page-address search (slow elements
// spend virtual time), reads that fail, and the input counters, modifiers
// and buttons. Tests script it element by element.

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

  // Reads not scripted fail with "no value" (as for an attribute the element does not have).
  std::map<std::string, AttributeRead> attributes;
  std::map<std::string, Settable> settable;
  // The virtual time each read of this element takes.
  channel::Duration readCost{};
  // The last messaging timeout set on it, and how often it was read.
  std::optional<float> timeout;
  int reads = 0;
  std::uint64_t hashValue;
};

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
};

// A desktop with a text editor whose text area has the focus and a browser
// showing a page, taking turns in front, and a user typing.
std::unique_ptr<SimDesktop> makeDefaultDesktop();

}  // namespace morvik::context::sim
