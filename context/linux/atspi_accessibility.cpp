#include "context/linux/atspi_accessibility.h"

#include <gio/gio.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string_view>

// libatspi's name of the registry, which it addresses all registry calls to.
extern "C" const char* atspi_bus_registry;

namespace morvik::context::linux {
namespace {

constexpr std::string_view registryBusName = "org.a11y.atspi.Registry";

// An element without a timeout of its own waits as long as the application
// element: a hung application costs a fraction of a tick, never seconds.
constexpr int defaultTimeoutMs = 120;
constexpr int busTimeoutMs = 250;  // the session bus, asked whether accessibility is on
// AT-SPI asks each child in a call of its own: a list is read this far.
constexpr int mostChildren = 64;
constexpr int mostSearched = 200;

// libatspi waits on a direct connection to an application in polls of the
// whole timeout and gives up only once more than the timeout has passed, in
// whole milliseconds: an application that never answers costs two polls.
// Such calls get half the time, so that they cost what they are given; calls
// over the bus are timed by libdbus alone.
void limitCalls(const AtspiAccessible* object, int ms) {
  const AtspiApplication* application = object != nullptr ? object->parent.app : nullptr;
  const bool direct =
      application != nullptr && application->bus != nullptr && dbus_bus_get_unique_name(application->bus) == nullptr;
  atspi_set_timeout(direct ? std::max(1, ms / 2) : ms, -1);
}

// Owns one reference of a GObject.
template <typename T>
struct Unref {
  void operator()(T* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref<T>>;

struct ErrorSlot {
  ~ErrorSlot() {
    if (error != nullptr) g_error_free(error);
  }
  GError* error = nullptr;
};

AXError errorCode(const GError* error) {
  const std::string message = error->message != nullptr ? error->message : "";
  if (message.find("Timeout") != std::string::npos || message.find("NoReply") != std::string::npos ||
      message.find("timed out") != std::string::npos || message.find("Did not receive a reply") != std::string::npos)
    return axCannotComplete;
  if (message.find("UnknownObject") != std::string::npos || message.find("ServiceUnknown") != std::string::npos)
    return axInvalidElement;
  return axFailure;
}

std::string taken(gchar* text) {
  std::string value = text != nullptr ? text : "";
  g_free(text);
  return value;
}

class AtspiElement final : public Element {
 public:
  enum class Kind { application, window, other };
  // Takes over a reference of `object`, which may be null (no application).
  AtspiElement(Kind elementKind, AtspiAccessible* accessible, Window window = 0)
      : kind(elementKind), object(accessible), xWindow(window) {}
  ~AtspiElement() override {
    if (states_ != nullptr) g_object_unref(states_);
    if (object != nullptr) g_object_unref(object);
  }

  // The element's states, read once; none when they cannot be read.
  std::optional<bool> state(AtspiStateType state) {
    if (states_ == nullptr && object != nullptr) states_ = atspi_accessible_get_state_set(object);
    if (states_ == nullptr || atspi_state_set_contains(states_, ATSPI_STATE_DEFUNCT)) return std::nullopt;
    return atspi_state_set_contains(states_, state) != FALSE;
  }
  bool has(AtspiStateType state) { return this->state(state).value_or(false); }

  const Kind kind;
  AtspiAccessible* const object;
  const Window xWindow;
  int timeoutMs = defaultTimeoutMs;

 private:
  AtspiStateSet* states_ = nullptr;
};

std::shared_ptr<AtspiElement> atspiElement(const ElementRef& element) {
  return std::dynamic_pointer_cast<AtspiElement>(element);
}

bool isDialogRole(AtspiRole role) {
  return role == ATSPI_ROLE_DIALOG || role == ATSPI_ROLE_ALERT || role == ATSPI_ROLE_FILE_CHOOSER;
}

bool isWindowRole(AtspiRole role) {
  return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || isDialogRole(role);
}

std::string macRole(AtspiElement& element, AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_PARAGRAPH:
      return element.has(ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_COMBO_BOX:
      return "AXComboBox";
    case ATSPI_ROLE_DOCUMENT_WEB:
      return "AXWebArea";
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
      return "AXGroup";
    case ATSPI_ROLE_SCROLL_PANE:
      return "AXScrollArea";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return "AXButton";
    case ATSPI_ROLE_CHECK_BOX:
      return "AXCheckBox";
    case ATSPI_ROLE_LABEL:
      return "AXStaticText";
    case ATSPI_ROLE_MENU_ITEM:
      return "AXMenuItem";
    default:
      return isWindowRole(role) ? "AXWindow" : "AXUnknown";
  }
}

using Windows = std::vector<std::pair<Owned<AtspiAccessible>, AtspiRole>>;

// The application's children that are windows, with their roles; none when
// the list cannot be read (a timeout is not "no window").
std::optional<Windows> windowsOf(AtspiAccessible* application) {
  Windows windows;
  ErrorSlot slot;
  // A property read that times out gives -1 without an error.
  const int count = std::min(atspi_accessible_get_child_count(application, &slot.error), mostChildren);
  if (count < 0) return std::nullopt;
  for (int i = 0; i < count && slot.error == nullptr; ++i) {
    Owned<AtspiAccessible> child(atspi_accessible_get_child_at_index(application, i, &slot.error));
    if (!child) continue;
    const AtspiRole role = atspi_accessible_get_role(child.get(), nullptr);
    if (isWindowRole(role)) windows.emplace_back(std::move(child), role);
  }
  if (slot.error != nullptr) return std::nullopt;
  return windows;
}

bool sameObject(AtspiAccessible* one, AtspiAccessible* other) {
  const AtspiObject* a = &one->parent;
  const AtspiObject* b = &other->parent;
  return one == other ||
         (a->app != nullptr && b->app != nullptr && a->path != nullptr && b->path != nullptr &&
          std::string_view(a->app->bus_name) == b->app->bus_name && std::string_view(a->path) == b->path);
}

// None when the states cannot be read.
std::optional<bool> stateOf(AtspiAccessible* object, AtspiStateType state) {
  Owned<AtspiStateSet> states(atspi_accessible_get_state_set(object));
  if (!states || atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT)) return std::nullopt;
  return atspi_state_set_contains(states.get(), state) != FALSE;
}

bool hasState(AtspiAccessible* object, AtspiStateType state) { return stateOf(object, state).value_or(false); }

// The focused element inside a window: one Collection query where the
// toolkit offers it, else a bounded search.
AtspiAccessible* focusedIn(AtspiAccessible* window) {
  Owned<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
  if (collection) {
    Owned<AtspiStateSet> focused(atspi_state_set_new(nullptr));
    atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
    Owned<AtspiMatchRule> rule(atspi_match_rule_new(focused.get(), ATSPI_Collection_MATCH_ALL, nullptr,
                                                    ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL,
                                                    nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
    ErrorSlot slot;
    GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL,
                                                   1, TRUE, &slot.error);
    if (matches != nullptr) {
      AtspiAccessible* found = matches->len > 0 ? g_array_index(matches, AtspiAccessible*, 0) : nullptr;
      for (guint i = 1; i < matches->len; ++i) g_object_unref(g_array_index(matches, AtspiAccessible*, i));
      g_array_free(matches, TRUE);
      return found;
    }
  }
  std::vector<Owned<AtspiAccessible>> queue;
  queue.emplace_back(static_cast<AtspiAccessible*>(g_object_ref(window)));
  for (std::size_t at = 0; at < queue.size() && at < mostSearched; ++at) {
    AtspiAccessible* candidate = queue[at].get();
    if (at > 0 && hasState(candidate, ATSPI_STATE_FOCUSED))
      return static_cast<AtspiAccessible*>(g_object_ref(candidate));
    const int count = std::min(atspi_accessible_get_child_count(candidate, nullptr), mostChildren);
    for (int i = 0; i < count; ++i)
      if (AtspiAccessible* child = atspi_accessible_get_child_at_index(candidate, i, nullptr))
        queue.emplace_back(child);
  }
  return nullptr;
}

AttributeRead noValue() { return {axNoValue, std::nullopt}; }

// libatspi keeps its table of applications across atspi_exit(): the proxies
// of a bus that went away stay there disposed, without a connection or an
// object table, and are found again by bus name on the new bus. Such a proxy
// gets the new connection.
void revive(AtspiApplication* application) {
  if (application == nullptr || application->bus != nullptr) return;
  DBusConnection* bus = atspi_get_a11y_bus();
  if (bus == nullptr) return;
  application->bus = dbus_connection_ref(bus);
  if (application->hash == nullptr)
    application->hash = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_object_unref);
}

// The unique name of the registry on the accessibility bus, started if it is
// not yet; none when it does not answer.
std::optional<std::string> registryOwner(DBusConnection* bus) {
  if (bus == nullptr || !dbus_connection_get_is_connected(bus)) return std::nullopt;
  DBusMessage* ping = dbus_message_new_method_call("org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                                                   "org.freedesktop.DBus.Peer", "Ping");
  if (ping == nullptr) return std::nullopt;
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, ping, busTimeoutMs, &error);
  dbus_message_unref(ping);
  dbus_error_free(&error);
  if (reply == nullptr) return std::nullopt;
  const char* sender = dbus_message_get_sender(reply);
  std::optional<std::string> name;
  if (sender != nullptr && sender[0] == ':') name = sender;
  dbus_message_unref(reply);
  return name;
}

// The first read of the desktop on a bus files the registry's proxy under the
// registry's unique name too, in libatspi's table of applications, which
// holds one reference for all the names of a proxy. Where that name is filed
// already (the same name on a restarted bus, or the proxy that a lookup by
// that name just found), the entry is replaced and its proxy loses the
// table's reference while its other names still point at it: a few restarts
// later it is freed under them. The desktop is read here, once a connection,
// and a reference is taken for the one that may be lost; it is never given
// back (one small object a connection at most).
void holdRegistry() {
  atspi_set_timeout(defaultTimeoutMs, -1);
  Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (desktop && desktop->parent.app != nullptr) g_object_ref(desktop->parent.app);
}

void discardLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
GLogWriterOutput discardStructuredLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(X11Session& x11) : x11_(x11) {
  // A helper writes nothing to standard error; GLib and AT-SPI would warn there.
  g_log_set_default_handler(&discardLog, nullptr);
  g_log_set_writer_func(&discardStructuredLog, nullptr, nullptr);
  // Before any call: libatspi otherwise gives an application 15 s after it
  // first met it.
  atspi_set_timeout(defaultTimeoutMs, -1);
  connectAtspi();
}

void AtspiAccessibility::connectAtspi() {
  // 2 is "no accessibility bus": then libatspi must not be called at all.
  if (atspi_is_initialized()) atspi_exit();
  atspiReady_ = atspi_init() == 0;
  if (!atspiReady_ || registryName_.empty()) {
    revive(registry_);
    if (atspiReady_) holdRegistry();
    return;
  }
  const auto name = registryOwner(atspi_get_a11y_bus());
  if (!name) {
    atspiReady_ = false;  // the registry is not up yet
    return;
  }
  if (registry_ != nullptr && *name != registryName_) {
    // libatspi also knows the registry by its unique name and keeps that
    // alias on a new bus, where the name soon belongs to an application:
    // that application would be taken for the desktop. The old registry
    // proxy becomes the proxy of that name, and the registry is addressed by
    // its new unique name, which no stale proxy stands for.
    g_free(registry_->bus_name);
    registry_->bus_name = g_strdup(registryName_.c_str());
    g_object_unref(registry_);
    registry_ = nullptr;
  }
  if (*name != registryName_) {
    registryName_ = *name;
    atspi_bus_registry = registryName_.c_str();
  }
  revive(registry_);
  holdRegistry();
}

bool AtspiAccessibility::busLost() {
  atspi_set_timeout(defaultTimeoutMs, -1);
  Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  AtspiApplication* registry = desktop ? desktop->parent.app : nullptr;
  if (registry == nullptr) return true;
  if (registry != registry_) {
    // The registry's name may be a proxy left from an earlier bus: kept to be
    // given the new bus at the next connection.
    if (registry_ != nullptr) g_object_unref(registry_);
    registry_ = static_cast<AtspiApplication*>(g_object_ref(registry));
  }
  // Learnt while the bus is up, to know the name's stale alias after a restart.
  if (registryName_.empty())
    if (auto name = registryOwner(registry->bus)) registryName_ = *name;
  return registry->bus == nullptr || !dbus_connection_get_is_connected(registry->bus);
}

AtspiAccessibility::~AtspiAccessibility() {
  // It points into this object.
  atspi_bus_registry = registryBusName.data();
}

void AtspiAccessibility::sessionReady(GObject*, GAsyncResult* result, gpointer accessibility) {
  auto* self = static_cast<AtspiAccessibility*>(accessibility);
  self->connecting_ = false;
  self->session_ = g_bus_get_finish(result, nullptr);
  // A session bus that goes away is connected to again, not a reason to end.
  if (self->session_ != nullptr) g_dbus_connection_set_exit_on_close(self->session_, FALSE);
}

GDBusConnection* AtspiAccessibility::sessionBus() {
  if (session_ != nullptr && g_dbus_connection_is_closed(session_)) {
    g_object_unref(session_);
    session_ = nullptr;
  }
  // Connected in the background: a bus that accepts and never answers (a
  // stopped daemon) costs each snapshot the bus timeout, never more.
  if (session_ == nullptr && !connecting_) {
    connecting_ = true;
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, &AtspiAccessibility::sessionReady, this);
  }
  bool late = false;
  GSource* timeout = g_timeout_source_new(busTimeoutMs);
  g_source_set_callback(
      timeout,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &late, nullptr);
  g_source_attach(timeout, nullptr);
  while (session_ == nullptr && connecting_ && !late) g_main_context_iteration(nullptr, TRUE);
  g_source_destroy(timeout);
  g_source_unref(timeout);
  return session_;
}

bool AtspiAccessibility::isProcessTrusted() {
  // libatspi drops the objects of closed windows and applications on the
  // signals it has queued, run from the main context; nothing else runs it.
  for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  if (atspiReady_ && busLost()) {
    atspiReady_ = false;
    idleTicks_ = 7;  // try again at once
  }
  if (!atspiReady_) {
    // The bus may have come (back) up since: try again, at most every few
    // seconds.
    if (++idleTicks_ % 8 != 0) return false;
    connectAtspi();
    if (!atspiReady_) return false;
  }
  GDBusConnection* bus = sessionBus();
  if (bus == nullptr) return false;
  ErrorSlot slot;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                                  g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"),
                                  G_DBUS_CALL_FLAGS_NONE, busTimeoutMs, nullptr, &slot.error);
  if (reply == nullptr) return false;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  const bool enabled = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  return enabled;
}

std::optional<std::string> AtspiAccessibility::displayName(const FrontWindow& front) {
  if (!front.identifier) return std::nullopt;
  auto [cached, fresh] = desktopNames_.try_emplace(*front.identifier);
  if (!fresh) return cached->second;
  std::vector<std::string> folders = {"/usr/share/applications", "/usr/local/share/applications",
                                      "/var/lib/flatpak/exports/share/applications"};
  if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr)
    folders.push_back(std::string(user->pw_dir) + "/.local/share/applications");
  for (const auto& folder : folders) {
    std::ifstream entry(folder + "/" + *front.identifier + ".desktop");
    for (std::string line; std::getline(entry, line);) {
      if (line.rfind("Name=", 0) == 0) return cached->second = line.substr(5);
    }
  }
  return std::nullopt;
}

std::optional<FrontApplication> AtspiAccessibility::frontmostApplication() {
  front_ = x11_.frontWindow();
  frontHung_ = false;
  if (!front_) return std::nullopt;
  FrontApplication application{front_->processIdentifier, front_->identifier, displayName(*front_)};
  if (!application.localizedName && atspiReady_) {
    // Known once read: an application that stops answering keeps its name.
    auto [known, fresh] = applicationNames_.try_emplace(front_->processIdentifier);
    if (fresh || !known->second) {
      if (applicationNames_.size() > 64) applicationNames_.clear();
      const auto element = atspiElement(applicationElement(front_->processIdentifier));
      ErrorSlot slot;
      std::string name;
      if (element && element->object != nullptr) {
        limitCalls(element->object, defaultTimeoutMs);
        name = taken(atspi_accessible_get_name(element->object, &slot.error));
      }
      frontHung_ = slot.error != nullptr && errorCode(slot.error) != axInvalidElement;
      applicationNames_[front_->processIdentifier] =
          slot.error == nullptr && !name.empty() ? std::optional(name) : std::nullopt;
    }
    application.localizedName = applicationNames_[front_->processIdentifier];
  }
  if (!application.localizedName || application.localizedName->empty()) application.localizedName = front_->windowClass;
  return application;
}

ElementRef AtspiAccessibility::applicationElement(std::int32_t processIdentifier) {
  if (!atspiReady_ || processIdentifier <= 0)
    return std::make_shared<AtspiElement>(AtspiElement::Kind::application, nullptr);
  atspi_set_timeout(defaultTimeoutMs, -1);
  Owned<AtspiAccessible> desktop(atspi_get_desktop(0));
  const int count = desktop ? atspi_accessible_get_child_count(desktop.get(), nullptr) : 0;
  for (int i = 0; i < count; ++i) {
    Owned<AtspiAccessible> application(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
    if (application) revive(application->parent.app);
    if (application &&
        static_cast<std::int32_t>(atspi_accessible_get_process_id(application.get(), nullptr)) == processIdentifier)
      return std::make_shared<AtspiElement>(AtspiElement::Kind::application, application.release());
  }
  return std::make_shared<AtspiElement>(AtspiElement::Kind::application, nullptr);
}

void AtspiAccessibility::setMessagingTimeout(const ElementRef& element, float seconds) {
  if (auto atspi = atspiElement(element)) atspi->timeoutMs = static_cast<int>(seconds * 1000.0f);
}

AttributeRead AtspiAccessibility::copyAttributeValue(const ElementRef& ref, const std::string& name) {
  const auto element = atspiElement(ref);
  // An application not on the accessibility bus does not answer.
  if (!element || element->object == nullptr) return {axCannotComplete, std::nullopt};
  // An application that let one read time out is not asked again in this
  // snapshot: it would cost every read its whole timeout.
  if (frontHung_) return {axCannotComplete, std::nullopt};
  limitCalls(element->object, element->timeoutMs);
  AtspiAccessible* object = element->object;

  if (element->kind == AtspiElement::Kind::application) {
    if (name != "AXFocusedWindow" && name != "AXFocusedUIElement") return noValue();
    auto windows = windowsOf(object);
    if (!windows) {
      frontHung_ = true;
      return {axCannotComplete, std::nullopt};
    }
    bool unread = false;  // a window whose state did not come
    for (auto& [window, role] : *windows) {
      const auto active = stateOf(window.get(), ATSPI_STATE_ACTIVE);
      unread = unread || !active;
      if (!active.value_or(false)) continue;
      if (name == "AXFocusedUIElement") {
        AtspiAccessible* focused = focusedIn(window.get());
        if (focused == nullptr) return noValue();
        return {axSuccess, ElementRef(std::make_shared<AtspiElement>(AtspiElement::Kind::other, focused))};
      }
      const Window xWindow = front_ ? front_->window : 0;
      return {axSuccess,
              ElementRef(std::make_shared<AtspiElement>(AtspiElement::Kind::window, window.release(), xWindow))};
    }
    return unread ? AttributeRead{axCannotComplete, std::nullopt} : noValue();
  }

  ErrorSlot slot;
  const AtspiRole role = atspi_accessible_get_role(object, &slot.error);
  if (slot.error != nullptr) {
    frontHung_ = errorCode(slot.error) != axInvalidElement;
    return {errorCode(slot.error), std::nullopt};
  }
  if (name == "AXRole") return {axSuccess, macRole(*element, role)};
  if (name == "AXSubrole") return {axSuccess, std::string(isDialogRole(role) ? "AXDialog" : "AXStandardWindow")};
  if (name == "AXModal") {
    const auto modal = element->state(ATSPI_STATE_MODAL);
    return modal ? AttributeRead{axSuccess, *modal} : AttributeRead{axCannotComplete, std::nullopt};
  }
  if (name == "AXEnabled") {
    const auto enabled = element->state(ATSPI_STATE_ENABLED);
    if (!enabled) return {axCannotComplete, std::nullopt};
    return {axSuccess, *enabled || element->has(ATSPI_STATE_SENSITIVE)};
  }
  if (name == "AXEditable") return element->has(ATSPI_STATE_EDITABLE) ? AttributeRead{axSuccess, true} : noValue();
  if (name == "AXTitle") return {axSuccess, taken(atspi_accessible_get_name(object, nullptr))};
  if (name == "AXDescription") return {axSuccess, taken(atspi_accessible_get_description(object, nullptr))};
  if (name == "AXIdentifier") {
    std::string identifier = taken(atspi_accessible_get_accessible_id(object, nullptr));
    return identifier.empty() ? noValue() : AttributeRead{axSuccess, identifier};
  }
  if (name == "AXValue") {
    Owned<AtspiText> text(atspi_accessible_get_text_iface(object));
    if (!text) return noValue();
    return {axSuccess, taken(atspi_text_get_text(text.get(), 0, -1, nullptr))};
  }
  if (name == "AXURL") {
    Owned<AtspiDocument> document(atspi_accessible_get_document_iface(object));
    if (!document || role != ATSPI_ROLE_DOCUMENT_WEB) return noValue();
    char attribute[] = "DocURL";  // Firefox's name for the page address
    std::string address = taken(atspi_document_get_document_attribute_value(document.get(), attribute, nullptr));
    return address.empty() ? noValue() : AttributeRead{axSuccess, URL{address}};
  }
  if (name == "AXSheets") {
    // The application's other windows that are modal dialogs.
    std::vector<ElementRef> sheets;
    Owned<AtspiAccessible> application(atspi_accessible_get_application(object, &slot.error));
    if (!application) return {slot.error != nullptr ? errorCode(slot.error) : axFailure, std::nullopt};
    auto windows = windowsOf(application.get());
    if (!windows) return {axCannotComplete, std::nullopt};
    for (auto& [window, windowRole] : *windows) {
      if (!isDialogRole(windowRole) || !hasState(window.get(), ATSPI_STATE_MODAL)) continue;
      if (sameObject(window.get(), object)) continue;
      sheets.push_back(std::make_shared<AtspiElement>(AtspiElement::Kind::window, window.release()));
    }
    return {axSuccess, sheets};
  }
  if (name == "AXChildren") {
    std::vector<ElementRef> children;
    const int count = std::min(atspi_accessible_get_child_count(object, &slot.error), mostChildren);
    if (slot.error != nullptr) return {errorCode(slot.error), std::nullopt};
    if (count < 0) return {axCannotComplete, std::nullopt};
    for (int i = 0; i < count; ++i)
      if (AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr))
        children.push_back(std::make_shared<AtspiElement>(AtspiElement::Kind::other, child));
    return {axSuccess, children};
  }
  return noValue();
}

Settable AtspiAccessibility::isAttributeSettable(const ElementRef& ref, const std::string& name) {
  const auto element = atspiElement(ref);
  if (!element || element->object == nullptr) return {axCannotComplete, false};
  if (name != "AXValue" && name != "AXSelectedText") return {axAttributeUnsupported, false};
  limitCalls(element->object, element->timeoutMs);
  Owned<AtspiText> text(atspi_accessible_get_text_iface(element->object));
  return {axSuccess, text && element->has(ATSPI_STATE_EDITABLE)};
}

std::uint64_t AtspiAccessibility::hash(const ElementRef& ref) {
  const auto element = atspiElement(ref);
  if (!element || element->object == nullptr) return 0;
  // A window is known by its X window, as the window manager knows it.
  if (element->xWindow != 0) return element->xWindow;
  const AtspiObject* object = &element->object->parent;
  const std::string identity = std::string(object->app != nullptr ? object->app->bus_name : "") + object->path;
  return std::hash<std::string>{}(identity);
}

}  // namespace morvik::context::linux
