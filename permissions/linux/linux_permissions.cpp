// The honest answers of Linux. Bluetooth: granted when BlueZ answers this
// user on the system bus, denied when the bus refuses it, unknown when BlueZ
// is not there or does not answer in time. Accessibility: granted when the
// accessibility bus is reachable and enabled. Speech: granted, since offline
// recognition asks no permission. Nothing is ever undecided, so no request
// waits.
//
// A report must neither wait on a stalled daemon nor change what it reports:
// each service is asked once per run, and only if its name already has an
// owner; the calls go to that owner's unique name, which the bus never
// activates. Whatever has not answered when the report's time is up counts
// as absent: at that moment an alarm shuts the sockets of the connections
// still open, which ends any wait of sd-bus, even one that heeds no timeout
// (a bus that never finishes the handshake), and nothing is asked after; a
// connection opened once the alarm has rung is given up at once. This helper
// speaks sd-bus's C interface rather than sdbus-c++: without sdbus-c++ and a
// shared libstdc++ to load, the process starts about a third faster.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <systemd/sd-bus.h>

#include <array>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>

#include "permissions/permission_source.h"

namespace morvik::permissions {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int denied = 2, granted = 3, unknown = -1;
// From the start of the process to the report, with room for writing it.
constexpr auto answerTime = std::chrono::milliseconds(800);

// The numbers the bus sockets can get. The kernel hands out the lowest free
// number, so they are the first ones free when the alarm is armed, however
// many descriptors (perhaps sockets shared with the application, never to be
// shut) the process started with and whatever their numbers.
constexpr int openedLater = 64;
std::array<int, openedLater> ours{};

// Set by the alarm, which interrupts the one thread of the process.
volatile std::sig_atomic_t timeUp = 0;

bool isSocket(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

// The sockets of this process opened since are its bus connections: shutting
// them ends every wait on them, the handshake that sd-bus waits for while it
// connects included.
void onAlarm(int) {
  timeUp = 1;
  for (const int fd : ours)
    if (isSocket(fd)) ::shutdown(fd, SHUT_RDWR);
}

void armAlarm() {
  // Each number is looked at once, up to the 64th free one: a descriptor
  // handed down at a high number costs nothing.
  for (int fd = 3, found = 0; found < openedLater; ++fd)
    if (::fcntl(fd, F_GETFD) < 0) ours[static_cast<std::size_t>(found++)] = fd;
  struct sigaction action {};
  action.sa_handler = onAlarm;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  // The application may have started this process with the signal blocked.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  ::sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
  itimerval timer{};
  timer.it_value.tv_usec = std::chrono::microseconds(answerTime).count();
  ::setitimer(ITIMER_REAL, &timer, nullptr);
}

std::uint64_t microsecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 1 ? static_cast<std::uint64_t>(left) : 1;
}

struct UnrefBus {
  // Neither flushed nor closed: a bus given up on may never finish its
  // handshake, and closing a bus reached through a program it started
  // ("unixexec:") waits for that program to end, however long it takes.
  void operator()(sd_bus* bus) const { sd_bus_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, UnrefBus>;
struct UnrefMessage {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, UnrefMessage>;

struct Error : sd_bus_error {
  // All null, as SD_BUS_ERROR_NULL would make it (a compound literal: C only).
  Error() : sd_bus_error{} {}
  ~Error() { sd_bus_error_free(this); }
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  bool is(const char* error) const { return sd_bus_error_has_name(this, error) != 0; }
};

// Whether a connection opened, and before the alarm rang: its socket may
// have come after the alarm shut the others, and nothing would end a wait on
// it.
bool inTime(int opened) { return opened >= 0 && timeUp == 0; }

Bus openInTime(int (*open)(sd_bus**)) {
  sd_bus* bus = nullptr;
  const int result = open(&bus);
  Bus opened(bus);
  if (!inTime(result)) return nullptr;
  return opened;
}

// The reply, or none with `error` saying why when the peer or the bus did.
template <typename... Args>
Message call(sd_bus* bus, const char* destination, const char* path, const char* interface, const char* member,
             Clock::time_point deadline, Error& error, const char* types = nullptr, Args... arguments) {
  sd_bus_message* request = nullptr;
  sd_bus_message* reply = nullptr;
  if (sd_bus_message_new_method_call(bus, &request, destination, path, interface, member) >= 0 &&
      (types == nullptr || sd_bus_message_append(request, types, arguments...) >= 0))
    sd_bus_call(bus, request, microsecondsLeft(deadline), &error, &reply);
  sd_bus_message_unref(request);
  return Message(reply);
}

// The unique name that owns `name` now; none when nobody does or the bus
// refuses to tell (`error` says which).
std::optional<std::string> ownerOf(sd_bus* bus, const char* name, Clock::time_point deadline, Error& error) {
  const auto reply = call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                          deadline, error, "s", name);
  const char* owner = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "s", &owner) < 0) return std::nullopt;
  return owner;
}

int blueZAnswer(Clock::time_point deadline) {
  const auto bus = openInTime(sd_bus_open_system);
  if (!bus) return unknown;
  Error error;
  const auto owner = ownerOf(bus.get(), "org.bluez", deadline, error);
  const auto objects = owner ? call(bus.get(), owner->c_str(), "/", "org.freedesktop.DBus.ObjectManager",
                                    "GetManagedObjects", deadline, error)
                             : nullptr;
  if (objects && sd_bus_message_has_signature(objects.get(), "a{oa{sa{sv}}}")) return granted;
  // A refusal is a reply, so the connection was set up. sd-bus names its own
  // failures after errno too: a peer that is no bus at all fails the
  // handshake with EPERM, which is no refusal.
  if (sd_bus_is_ready(bus.get()) > 0 &&
      (error.is("org.freedesktop.DBus.Error.AccessDenied") || error.is("org.bluez.Error.NotAuthorized") ||
       error.is("org.bluez.Error.NotPermitted")))
    return denied;
  return unknown;
}

bool accessibilityBusEnabled(Clock::time_point deadline) {
  const auto session = openInTime(sd_bus_open_user);
  if (!session) return false;
  Error error;
  const auto owner = ownerOf(session.get(), "org.a11y.Bus", deadline, error);
  if (!owner) return false;
  const auto enabled = call(session.get(), owner->c_str(), "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
                            deadline, error, "ss", "org.a11y.Status", "IsEnabled");
  int on = 0;
  if (!enabled || sd_bus_message_read(enabled.get(), "v", "b", &on) < 0 || on == 0) return false;
  const auto reply =
      call(session.get(), owner->c_str(), "/org/a11y/bus", "org.a11y.Bus", "GetAddress", deadline, error);
  const char* address = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "s", &address) < 0) return false;
  // Reachable: the accessibility bus takes a connection and finishes its handshake.
  sd_bus* created = nullptr;
  if (sd_bus_new(&created) < 0) return false;
  const Bus accessibility(created);
  return sd_bus_set_address(created, address) >= 0 && sd_bus_set_bus_client(created, 1) >= 0 &&
         inTime(sd_bus_start(created)) && sd_bus_flush(created) >= 0 && timeUp == 0;
}

class LinuxPermissions final : public PermissionSource {
 public:
  explicit LinuxPermissions(channel::MainLoop& loop) : loop_(loop), deadline_(Clock::now() + answerTime) { armAlarm(); }
  int bluetoothAuthorization() override {
    if (!bluetooth_) bluetooth_ = blueZAnswer(deadline_);
    return *bluetooth_;
  }
  int speechAuthorizationStatus() override { return granted; }
  bool isProcessTrusted() override {
    if (!accessibility_) accessibility_ = accessibilityBusEnabled(deadline_);
    return *accessibility_;
  }
  void startCentralManager(std::function<void()> updated) override { loop_.post(std::move(updated)); }
  void requestSpeechAuthorization(std::function<void(int)> answered) override { answered(granted); }

 private:
  channel::MainLoop& loop_;
  const Clock::time_point deadline_;
  std::optional<int> bluetooth_;
  std::optional<bool> accessibility_;
};

}  // namespace

std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop& loop) {
  return std::make_unique<LinuxPermissions>(loop);
}

}  // namespace morvik::permissions
