#include "context/snapshot.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

#include "channel/text.h"
#include "context/browser_address.h"

namespace morvik::context {
namespace {

constexpr auto snapshotInterval = std::chrono::milliseconds(600);
constexpr float applicationTimeout = 0.12f;
constexpr float focusedElementTimeout = 0.05f;
constexpr std::size_t longestTitle = 512;  // user-perceived characters
constexpr std::size_t longestName = 256;
constexpr std::array<std::string_view, 5> containerRoles = {"AXUnknown", "AXGroup", "AXWebArea", "AXScrollArea",
                                                            "AXLayoutArea"};
constexpr std::array<std::string_view, 3> textRoles = {"AXTextField", "AXTextArea", "AXComboBox"};

template <std::size_t N>
bool oneOf(const std::string& role, const std::array<std::string_view, N>& roles) {
  return std::find(roles.begin(), roles.end(), role) != roles.end();
}

channel::Json threeValued(std::optional<bool> value) { return value ? channel::Json(*value) : channel::Json(nullptr); }

// On Linux the same browsers go by their window class, Flatpak id or GTK
// application id.
std::set<std::string> withLinuxNames(std::set<std::string> names) {
#ifdef __linux__
  names.insert({"firefox", "firefox-esr", "chromium", "chromium-browser", "org.chromium.chromium", "google-chrome",
                "microsoft-edge", "com.microsoft.edge", "brave-browser", "vivaldi-stable", "opera", "com.opera.opera",
                "org.gnome.epiphany"});
#endif
  return names;
}

}  // namespace

const std::set<std::string>& browsers() {
  static const std::set<std::string> known = withLinuxNames(
      {"com.apple.safari", "com.google.chrome", "com.microsoft.edgemac", "org.mozilla.firefox", "com.brave.browser",
       "company.thebrowser.browser", "com.operasoftware.opera", "com.vivaldi.vivaldi"});
  return known;
}

channel::Json activitySnapshot(InputState& input) {
  return {{"source", "mac-session"},
          {"keys", input.counter(EventType::keyDown)},
          {"clicks", input.counter(EventType::leftMouseUp)},
          {"drags", input.counter(EventType::leftMouseDragged)}};
}

std::optional<bool> textFocus(Accessibility& ax, const ElementRef& application) {
  const auto focused = attribute<ElementRef>(ax, application, "AXFocusedUIElement");
  if (!focused) return std::nullopt;
  ax.setMessagingTimeout(*focused, focusedElementTimeout);
  const auto role = attribute<std::string>(ax, *focused, "AXRole");
  if (!role) return std::nullopt;
  // A disabled element is never text focus, and one that states whether it
  // is editable is believed before its role is looked at.
  if (attribute<bool>(ax, *focused, "AXEnabled") == false) return false;
  if (const auto editable = attribute<bool>(ax, *focused, "AXEditable")) return *editable;
  if (oneOf(*role, containerRoles)) return std::nullopt;
  if (!oneOf(*role, textRoles)) return false;
  const Settable value = ax.isAttributeSettable(*focused, "AXValue");
  const Settable selection = ax.isAttributeSettable(*focused, "AXSelectedText");
  if ((value.error == axSuccess && value.settable) || (selection.error == axSuccess && selection.settable)) return true;
  if (value.error != axSuccess || selection.error != axSuccess) return std::nullopt;
  return false;
}

bool windowIsSafe(Accessibility& ax, const ElementRef& window) {
  // A window that closed, or whose application stopped answering, between
  // two reads may hide a sheet or a dialog: it is not safe. An attribute the
  // window lacks is no such sign.
  const auto unanswered = [](const AttributeRead& read) {
    return read.error == axInvalidElement || read.error == axCannotComplete;
  };
  const AttributeRead sheets = ax.copyAttributeValue(window, "AXSheets");
  if (unanswered(sheets)) return false;
  if (const auto list = valueOf<std::vector<ElementRef>>(sheets); list && !list->empty()) return false;
  const AttributeRead subrole = ax.copyAttributeValue(window, "AXSubrole");
  if (unanswered(subrole) || valueOf<std::string>(subrole) == "AXDialog") return false;
  const AttributeRead modal = ax.copyAttributeValue(window, "AXModal");
  return !unanswered(modal) && valueOf<bool>(modal) != true;
}

std::unique_ptr<channel::Timer> startMonitor(const Environment& environment, channel::Output& out) {
  channel::emit(out, snapshot(environment));
  return environment.loop.schedule(snapshotInterval, true,
                                   [environment, &out] { channel::emit(out, snapshot(environment)); });
}

channel::Json snapshot(const Environment& environment) {
  Accessibility& ax = environment.accessibility;
  const bool trusted = ax.isProcessTrusted();
  const auto front = ax.frontmostApplication();
  if (!front) return channel::Json::object();

  std::optional<bool> hasWindow, focus;
  std::string windowId, title, url;
  bool safeToSave = false;
  if (trusted) {
    const ElementRef application = ax.applicationElement(front->processIdentifier);
    ax.setMessagingTimeout(application, applicationTimeout);
    focus = textFocus(ax, application);
    const AttributeRead read = ax.copyAttributeValue(application, "AXFocusedWindow");
    const ElementRef* window = read.error == axSuccess && read.value ? std::get_if<ElementRef>(&*read.value) : nullptr;
    if (window == nullptr) {
      if (read.error == axNoValue) hasWindow = false;
    } else {
      hasWindow = true;
      windowId = std::to_string(front->processIdentifier) + ":" + std::to_string(ax.hash(*window));
      // Under the platform's default (seconds), an application that stops
      // answering once it has named its window would hold the snapshot for
      // that long per read.
      ax.setMessagingTimeout(*window, applicationTimeout);
      safeToSave = windowIsSafe(ax, *window);
      std::string identifier = front->bundleIdentifier.value_or("");
      std::transform(identifier.begin(), identifier.end(), identifier.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (browsers().count(identifier) != 0) url = browserAddress(environment, *window);
      if (const auto text = attribute<std::string>(ax, *window, "AXTitle"))
        title = channel::truncateGraphemes(*text, longestTitle);
    }
  }
  return {{"hasWindow", threeValued(hasWindow)},
          {"textFocus", threeValued(focus)},
          {"activity", activitySnapshot(environment.input)},
          {"processId", front->processIdentifier},
          {"id", front->bundleIdentifier.value_or("")},
          {"app", channel::truncateGraphemes(front->localizedName.value_or(""), longestName)},
          {"title", title},
          {"url", url},
          {"pageAccess", trusted},
          {"windowId", windowId},
          {"safeToSave", safeToSave}};
}

}  // namespace morvik::context
