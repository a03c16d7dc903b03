// The honest answers of Linux. Bluetooth: granted when BlueZ answers this
// user on the system bus, denied when the bus refuses it, unknown when BlueZ
// is not there or does not answer in time. Accessibility: granted when the
// accessibility bus is reachable and enabled. Speech: granted, since offline
// recognition asks no permission. Nothing is ever undecided, so no request
// waits.
//
// A report must neither wait on a stalled daemon nor change what it reports:
// each service is asked once per run, on a thread of its own so that the
// two are asked side by side, and only if its name already has an owner;
// the calls go to that owner's unique name, which the bus never activates.
// Whatever has not answered when the report's time is up counts as absent.
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "permissions/permission_source.h"

namespace morvik::permissions {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int denied = 2, granted = 3, unknown = -1;
// From the start of the process to the report, with room for writing it.
constexpr auto answerTime = std::chrono::milliseconds(800);

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
    return sdbus::createSessionBusConnectionWithAddress(address) != nullptr;
  } catch (const sdbus::Error&) {
    return false;
  }
}

// One question to a service, asked on its own thread. The thread is never
// joined: the process ends with the report, whatever the service is doing.
template <typename T>
class Asked {
 public:
  template <typename Ask>
  void start(Ask ask, T absent) {
    auto promise = std::make_shared<std::promise<T>>();
    answer_ = promise->get_future();
    try {
      std::thread([ask, promise] { promise->set_value(ask()); }).detach();
    } catch (const std::system_error&) {
      promise->set_value(absent);  // no thread to ask on: nobody answered
    }
  }
  T get(Clock::time_point deadline, T absent) {
    if (!value_) value_ = answer_.wait_until(deadline) == std::future_status::ready ? answer_.get() : absent;
    return *value_;
  }

 private:
  std::future<T> answer_;
  std::optional<T> value_;
};

class LinuxPermissions final : public PermissionSource {
 public:
  explicit LinuxPermissions(channel::MainLoop& loop) : loop_(loop), deadline_(Clock::now() + answerTime) {}
  int bluetoothAuthorization() override {
    askOnce();
    return bluetooth_.get(deadline_, unknown);
  }
  int speechAuthorizationStatus() override { return granted; }
  bool isProcessTrusted() override {
    askOnce();
    return accessibility_.get(deadline_, false);
  }
  void startCentralManager(std::function<void()> updated) override { loop_.post(std::move(updated)); }
  void requestSpeechAuthorization(std::function<void(int)> answered) override { answered(granted); }

 private:
  void askOnce() {
    if (asked_) return;
    asked_ = true;
    bluetooth_.start([deadline = deadline_] { return blueZAnswer(deadline); }, unknown);
    accessibility_.start([deadline = deadline_] { return accessibilityBusEnabled(deadline); }, false);
  }

  channel::MainLoop& loop_;
  const Clock::time_point deadline_;
  bool asked_ = false;
  Asked<int> bluetooth_;
  Asked<bool> accessibility_;
};

}  // namespace

std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop& loop) {
  return std::make_unique<LinuxPermissions>(loop);
}

}  // namespace morvik::permissions
