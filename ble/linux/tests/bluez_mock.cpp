#include "ble/linux/tests/bluez_mock.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace morvik::ble::linux {

BluezMock::BluezMock(Options options) {
  char pattern[] = "/tmp/morvik-bus-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  const auto configuration = testing::writeBusConfiguration(
      directory_, options.denyObjectManager
                      ? R"(<deny send_destination="org.bluez" send_interface="org.freedesktop.DBus.ObjectManager"/>)"
                      : "");
  std::filesystem::create_directory(directory_ + "/services");
  if (options.activatable) {
    for (const std::string name : {"org.bluez", "org.a11y.Bus"})
      std::ofstream(directory_ + "/services/" + name + ".service")
          << "[D-BUS Service]\nName=" << name << "\nExec=/usr/bin/touch " << directory_ << "/activated\n";
  }
  daemon_ = std::make_unique<testing::ChildProcess>(
      "/usr/bin/dbus-daemon",
      std::vector<std::string>{"--config-file=" + configuration, "--nofork", "--print-address=1"});
  const auto address = daemon_->readLine(std::chrono::seconds(10));
  if (!address) throw std::runtime_error("dbus-daemon did not start");
  address_ = *address;
  bus_ = sdbus::createSessionBusConnectionWithAddress(address_);
  proxy_ = sdbus::createProxy(*bus_, "org.bluez", "/");
  if (options.startService) startService();
}

BluezMock::~BluezMock() {
  stopBus();
  std::filesystem::remove_all(directory_);
}

bool BluezMock::activated() const { return std::filesystem::exists(directory_ + "/activated"); }

void BluezMock::startService() {
  // Debian's python modules belong to /usr/bin/python3, whatever else is on PATH.
  service_ = std::make_unique<testing::ChildProcess>(
      "/usr/bin/python3",
      std::vector<std::string>{"-m", "dbusmock", "--template", MORVIK_BLUEZ_TEMPLATE, "-l", directory_ + "/mock.log"},
      environment());
  auto dbus = sdbus::createProxy(*bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  const bool started = testing::eventually(
      [&] {
        bool owned = false;
        dbus->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments("org.bluez")
            .storeResultsTo(owned);
        return owned;
      },
      std::chrono::seconds(20));
  if (!started) throw std::runtime_error("the BlueZ mock did not start");
}

void BluezMock::stopBus() {
  proxy_.reset();
  bus_.reset();
  service_.reset();
  daemon_.reset();
}

void BluezMock::otherClientDiscovery(const std::string& adapter, bool on) {
  sdbus::createProxy(*bus_, "org.bluez", adapter)
      ->callMethod(on ? "StartDiscovery" : "StopDiscovery")
      .onInterface("org.bluez.Adapter1");
}

}  // namespace morvik::ble::linux
