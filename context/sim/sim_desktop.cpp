#include "context/sim/sim_desktop.h"

namespace morvik::context::sim {
namespace {

std::shared_ptr<SimElement> simElement(const ElementRef& element) {
  return std::dynamic_pointer_cast<SimElement>(element);
}

constexpr int looksPerApplication = 5;

}  // namespace

SimElement& SimElement::set(const std::string& attribute, Value value) {
  attributes[attribute] = {axSuccess, std::move(value)};
  return *this;
}

SimElement& SimElement::fail(const std::string& attribute, AXError error) {
  attributes[attribute] = {error, std::nullopt};
  return *this;
}

SimElement& SimElement::children(const std::vector<std::shared_ptr<SimElement>>& elements) {
  return set("AXChildren", std::vector<ElementRef>(elements.begin(), elements.end()));
}

SimElement& SimElement::settableAttribute(const std::string& attribute, Settable answer) {
  settable[attribute] = answer;
  return *this;
}

SimElement& SimElement::after(const std::string& attribute, std::function<void()> change) {
  changes[attribute] = std::move(change);
  return *this;
}

std::shared_ptr<SimElement> SimDesktop::addApplication(FrontApplication application) {
  auto element = std::make_shared<SimElement>(static_cast<std::uint64_t>(application.processIdentifier));
  applications[application.processIdentifier] = element;
  known[application.processIdentifier] = application;
  front = application;
  return element;
}

std::optional<FrontApplication> SimDesktop::frontmostApplication() {
  if (!display) return std::nullopt;
  if (!rotation.empty()) {
    const std::int32_t pid = rotation[static_cast<std::size_t>(lookedAtFront / looksPerApplication) % rotation.size()];
    ++lookedAtFront;
    counters[EventType::keyDown] += 3;
    if (lookedAtFront % 4 == 0) ++counters[EventType::leftMouseUp];
    front = known.at(pid);
  }
  return front;
}

ElementRef SimDesktop::applicationElement(std::int32_t processIdentifier) {
  const auto found = applications.find(processIdentifier);
  if (found != applications.end()) return found->second;
  // An application that does not answer: every read times out.
  auto silent = std::make_shared<SimElement>();
  silent->hung = true;
  return silent;
}

void SimDesktop::setMessagingTimeout(const ElementRef& element, float seconds) {
  if (auto sim = simElement(element)) sim->timeout = seconds;
}

AXError SimDesktop::message(SimElement& element) {
  if (bus == Bus::lost) return axCannotComplete;
  if (element.gone) return axInvalidElement;
  const channel::Duration limit =
      element.timeout ? std::chrono::duration_cast<channel::Duration>(std::chrono::duration<double>(*element.timeout))
                      : defaultTimeout;
  const bool answers = !element.hung && bus == Bus::up && element.readCost <= limit;
  if (spend) spend(answers ? element.readCost : limit);
  return answers ? axSuccess : axCannotComplete;
}

AttributeRead SimDesktop::copyAttributeValue(const ElementRef& element, const std::string& attribute) {
  auto sim = simElement(element);
  if (!sim) return {axInvalidElement, std::nullopt};
  AttributeRead read{message(*sim), std::nullopt};
  if (read.error == axSuccess) {
    const auto found = sim->attributes.find(attribute);
    read = found == sim->attributes.end() ? AttributeRead{axNoValue, std::nullopt} : found->second;
  }
  if (const auto change = sim->changes.find(attribute); change != sim->changes.end()) change->second();
  return read;
}

Settable SimDesktop::isAttributeSettable(const ElementRef& element, const std::string& attribute) {
  auto sim = simElement(element);
  if (!sim) return {axInvalidElement, false};
  if (const AXError error = message(*sim); error != axSuccess) return {error, false};
  const auto found = sim->settable.find(attribute);
  return found == sim->settable.end() ? Settable{axAttributeUnsupported, false} : found->second;
}

std::uint64_t SimDesktop::hash(const ElementRef& element) {
  auto sim = simElement(element);
  return sim ? sim->hashValue : 0;
}

std::uint32_t SimDesktop::counter(EventType type) {
  const auto found = counters.find(type);
  return found == counters.end() ? 0 : found->second;
}

std::unique_ptr<SimDesktop> makeDefaultDesktop() {
  auto desktop = std::make_unique<SimDesktop>();
  desktop->counters = {{EventType::keyDown, 1200}, {EventType::leftMouseUp, 310}, {EventType::leftMouseDragged, 42}};

  auto browser = desktop->addApplication({913, "com.apple.Safari", "Safari"});
  auto web = std::make_shared<SimElement>(61);
  web->set("AXRole", "AXWebArea").set("AXURL", URL{"https://morvik.studio/docs/keyboard?tab=voice#setup"});
  auto page = std::make_shared<SimElement>(7702);
  page->set("AXTitle", "Morvik Pro — Keyboard settings").set("AXSubrole", "AXStandardWindow").set("AXModal", false);
  page->children({web});
  auto search = std::make_shared<SimElement>(62);
  search->set("AXRole", "AXTextField").set("AXEnabled", true);
  search->settableAttribute("AXValue", {axSuccess, true});
  browser->set("AXFocusedWindow", ElementRef(page)).set("AXFocusedUIElement", ElementRef(search));

  auto editor = desktop->addApplication({812, "com.apple.TextEdit", "TextEdit"});
  auto text = std::make_shared<SimElement>(71);
  text->set("AXRole", "AXTextArea").set("AXEnabled", true);
  text->settableAttribute("AXValue", {axSuccess, true}).settableAttribute("AXSelectedText", {axSuccess, true});
  auto notes = std::make_shared<SimElement>(4711);
  notes->set("AXTitle", "Notes.txt").set("AXSubrole", "AXStandardWindow").set("AXModal", false);
  editor->set("AXFocusedWindow", ElementRef(notes)).set("AXFocusedUIElement", ElementRef(text));

  desktop->rotation = {812, 913};
  return desktop;
}

}  // namespace morvik::context::sim
