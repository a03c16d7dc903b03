// The honest answers of Linux. Bluetooth: granted when BlueZ answers this
// user on the system bus, denied when the bus refuses it, unknown when BlueZ
// is not there. Accessibility: granted when the accessibility bus is
// reachable and enabled. Speech: granted, since offline recognition asks no
// permission. Nothing is ever undecided, so no request waits.
#include <sdbus-c++/sdbus-c++.h>

#include <map>

#include "permissions/permission_source.h"

namespace morvik::permissions {
namespace {

constexpr int denied = 2, granted = 3, unknown = -1;
constexpr std::uint64_t answerTime = 1'000'000;  // microseconds

int blueZAnswer() {
  try {
    const auto bus = sdbus::createSystemBusConnection();
    const auto bluez = sdbus::createProxy(*bus, "org.bluez", "/");
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
    bluez->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .withTimeout(answerTime)
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

bool accessibilityBusEnabled() {
  try {
    const auto session = sdbus::createSessionBusConnection();
    const auto launcher = sdbus::createProxy(*session, "org.a11y.Bus", "/org/a11y/bus");
    sdbus::Variant enabled;
    launcher->callMethod("Get")
        .onInterface("org.freedesktop.DBus.Properties")
        .withArguments("org.a11y.Status", "IsEnabled")
        .withTimeout(answerTime)
        .storeResultsTo(enabled);
    if (!enabled.containsValueOfType<bool>() || !enabled.get<bool>()) return false;
    std::string address;
    launcher->callMethod("GetAddress").onInterface("org.a11y.Bus").withTimeout(answerTime).storeResultsTo(address);
    // Reachable: the accessibility bus takes a connection.
    return sdbus::createSessionBusConnectionWithAddress(address) != nullptr;
  } catch (const sdbus::Error&) {
    return false;
  }
}

class LinuxPermissions final : public PermissionSource {
 public:
  explicit LinuxPermissions(channel::MainLoop& loop) : loop_(loop) {}
  int bluetoothAuthorization() override { return blueZAnswer(); }
  int speechAuthorizationStatus() override { return granted; }
  bool isProcessTrusted() override { return accessibilityBusEnabled(); }
  void startCentralManager(std::function<void()> updated) override { loop_.post(std::move(updated)); }
  void requestSpeechAuthorization(std::function<void(int)> answered) override { answered(granted); }

 private:
  channel::MainLoop& loop_;
};

}  // namespace

std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop& loop) {
  return std::make_unique<LinuxPermissions>(loop);
}

}  // namespace morvik::permissions
