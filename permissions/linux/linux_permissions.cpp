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
// (a bus that never finishes the handshake), and nothing is asked after.
#include <sdbus-c++/sdbus-c++.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "permissions/permission_source.h"

namespace morvik::permissions {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int denied = 2, granted = 3, unknown = -1;
// From the start of the process to the report, with room for writing it.
constexpr auto answerTime = std::chrono::milliseconds(800);

// Room above the highest descriptor the process started with for the ones
// it opens after: the kernel hands out the lowest free number, so the bus
// sockets land in a gap or just above.
constexpr int openedLater = 64;

// Set by the alarm, which interrupts the one thread of the process.
volatile std::sig_atomic_t timeUp = 0;
// Sockets the process started with, perhaps shared with the application:
// never shut. An application may hand down hundreds of descriptors, so the
// bus sockets can sit at any number. Both set before the alarm is armed.
std::vector<int> inherited;
int lastDescriptor = 255;

bool isSocket(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

// The other sockets of this process are its bus connections: shutting them
// ends every wait on them, the handshake that sd-bus waits for while it
// connects included.
void onAlarm(int) {
  timeUp = 1;
  for (int fd = 3; fd <= lastDescriptor; ++fd)
    if (isSocket(fd) && std::find(inherited.begin(), inherited.end(), fd) == inherited.end()) ::shutdown(fd, SHUT_RDWR);
}

void armAlarm() {
  std::error_code error;
  int highest = 2;
  for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
       entry.increment(error)) {
    const auto name = entry->path().filename().string();
    int fd = -1;
    std::from_chars(name.data(), name.data() + name.size(), fd);
    highest = std::max(highest, fd);
  }
  if (!error) lastDescriptor = highest + openedLater;
  for (int fd = 3; fd <= (error ? lastDescriptor : highest); ++fd)
    if (isSocket(fd)) inherited.push_back(fd);
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

// The unique name that owns `name` now; none when nobody does.
std::optional<std::string> ownerOf(sdbus::IConnection& bus, const std::string& name, Clock::time_point deadline) {
  const auto daemon = sdbus::createProxy(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  try {
    std::string owner;
    daemon->callMethod("GetNameOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(name)
        .withTimeout(microsecondsLeft(deadline))
        .storeResultsTo(owner);
    return owner;
  } catch (const sdbus::Error& error) {
    if (error.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner") return std::nullopt;
    throw;
  }
}

int blueZAnswer(Clock::time_point deadline) {
  if (timeUp != 0) return unknown;
  try {
    const auto bus = sdbus::createSystemBusConnection();
    const auto owner = ownerOf(*bus, "org.bluez", deadline);
    if (!owner) return unknown;
    const auto bluez = sdbus::createProxy(*bus, *owner, "/");
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
    bluez->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .withTimeout(microsecondsLeft(deadline))
        .storeResultsTo(objects);
    return granted;
  } catch (const sdbus::Error& error) {
    const auto& name = error.getName();
    if (name == "org.freedesktop.DBus.Error.AccessDenied" || name == "org.bluez.Error.NotAuthorized" ||
        name == "org.bluez.Error.NotPermitted")
      return denied;
    return unknown;
  }
}

bool accessibilityBusEnabled(Clock::time_point deadline) {
  if (timeUp != 0) return false;
  try {
    const auto session = sdbus::createSessionBusConnection();
    const auto owner = ownerOf(*session, "org.a11y.Bus", deadline);
    if (!owner) return false;
    const auto launcher = sdbus::createProxy(*session, *owner, "/org/a11y/bus");
    sdbus::Variant enabled;
    launcher->callMethod("Get")
        .onInterface("org.freedesktop.DBus.Properties")
        .withArguments("org.a11y.Status", "IsEnabled")
        .withTimeout(microsecondsLeft(deadline))
        .storeResultsTo(enabled);
    if (!enabled.containsValueOfType<bool>() || !enabled.get<bool>()) return false;
    std::string address;
    launcher->callMethod("GetAddress")
        .onInterface("org.a11y.Bus")
        .withTimeout(microsecondsLeft(deadline))
        .storeResultsTo(address);
    // Reachable: the accessibility bus takes a connection.
    return sdbus::createSessionBusConnectionWithAddress(address) != nullptr && timeUp == 0;
  } catch (const sdbus::Error&) {
    return false;
  }
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
