#pragma once

// A private D-Bus bus with a mock bluetoothd on it, for the process tests of
// the BlueZ layer: a dbus-daemon with a configuration of its own, and
// python-dbusmock with the Morvik keyboard template. Both end with the object.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "testsupport/process.h"

namespace morvik::ble::linux {

class BluezMock {
 public:
  struct Options {
    bool startService = true;
    // The bus refuses the object manager's calls: access denied.
    bool denyObjectManager = false;
    // The bus can start bluetoothd and the accessibility bus on demand, as
    // a system with them enabled but stopped does; see activated().
    bool activatable = false;
  };

  BluezMock() : BluezMock(Options{}) {}
  explicit BluezMock(Options options);
  ~BluezMock();

  // The environment that points a helper's system bus here.
  std::vector<std::string> environment() const { return {"DBUS_SYSTEM_BUS_ADDRESS=" + address_}; }
  const std::string& address() const { return address_; }
  // Both the system and the session bus here.
  std::vector<std::string> bothBuses() const {
    return {"DBUS_SYSTEM_BUS_ADDRESS=" + address_, "DBUS_SESSION_BUS_ADDRESS=" + address_};
  }
  // Whether the bus was asked to start a service.
  bool activated() const;

  void startService();
  // bluetoothd goes away (its bus name with it); startService brings a new one.
  void stopService() { service_.reset(); }
  // The whole bus goes away.
  void stopBus();
  std::string addAdapter(const std::string& name = "hci0", const std::string& address = "00:1A:7D:DA:71:13") {
    return ask<std::string>("AddAdapter", name, address);
  }
  std::string addKeyboard(const std::string& adapter, const std::string& address, const std::string& name,
                          const std::map<std::string, sdbus::Variant>& options = {}) {
    return ask<std::string>("AddKeyboard", adapter, address, name, options);
  }

  // Any method of org.bluez.Mock on "/".
  template <typename... Args>
  void mock(const std::string& method, const Args&... args) {
    proxy_->callMethod(method).onInterface("org.bluez.Mock").withArguments(args...);
  }
  template <typename Result, typename... Args>
  Result ask(const std::string& method, const Args&... args) {
    Result result{};
    proxy_->callMethod(method).onInterface("org.bluez.Mock").withArguments(args...).storeResultsTo(result);
    return result;
  }
  // Another program's discovery on the adapter, from this test's own connection.
  void otherClientDiscovery(const std::string& adapter, bool on);
  struct LinkState {
    std::uint32_t disconnectCalls;
    bool connected;
    bool voiceNotifying;
  };
  LinkState linkState(const std::string& device) {
    LinkState state{};
    proxy_->callMethod("LinkState")
        .onInterface("org.bluez.Mock")
        .withArguments(device)
        .storeResultsTo(state.disconnectCalls, state.connected, state.voiceNotifying);
    return state;
  }

 private:
  std::string directory_;
  std::string address_;
  std::unique_ptr<testing::ChildProcess> daemon_;
  std::unique_ptr<testing::ChildProcess> service_;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace morvik::ble::linux
