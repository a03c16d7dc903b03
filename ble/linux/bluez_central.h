#pragma once

// The Bluetooth LE central over BlueZ's D-Bus API (org.bluez on the system
// bus). Replies and signals are served on the main loop by a BusPump, so
// every delegate callback runs on the main thread.
//
// bluez_central.cpp keeps the mirror of bluetoothd's objects, the adapter
// state and the scan; bluez_links.cpp brings links up and lets them go.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/central.h"
#include "ble/linux/bluez_objects.h"
#include "ble/linux/bus_pump.h"
#include "channel/linux/asio_loop.h"

namespace morvik::ble::linux {

class BluezCentral final : public CentralManager {
 public:
  // A null `bus` means there is no system bus: the adapter is unsupported.
  BluezCentral(CentralManagerDelegate& delegate, channel::AsioLoop& loop, std::unique_ptr<sdbus::IConnection> bus);
  ~BluezCentral() override;

  CentralState state() const override { return state_; }
  void scanForPeripherals() override;
  // Only this helper's own discovery counts: bluetoothd runs one discovery
  // per client, and another program's may stop at any time.
  bool isScanning() const override { return scanStartedHere_ || startingScan_; }
  void stopScan() override;
  std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<Uuid>& identifiers) override;
  std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUUID>& serviceUUIDs) override;
  void connect(const std::shared_ptr<Peripheral>& peripheral) override;
  void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) override;

  // For the peripherals.
  using Reply = std::function<void(sdbus::MethodReply& reply, const sdbus::Error* error)>;
  using Arguments = std::function<void(sdbus::MethodCall& call)>;
  // Calls a method of bluetoothd; the reply comes on the main loop, and so
  // does a failure to send (a broken bus answers every call with an error).
  void call(const std::string& path, const std::string& interface, const std::string& method,
            const Arguments& arguments, Reply reply);
  void later(channel::Task task) { loop_.post(std::move(task)); }
  std::vector<std::shared_ptr<BluezService>> servicesOf(const std::string& devicePath) const;
  std::vector<std::shared_ptr<BluezCharacteristic>> characteristicsOf(const std::string& servicePath) const;

 private:
  using Properties = std::map<std::string, sdbus::Variant>;
  using Interfaces = std::map<std::string, Properties>;

  void subscribe();
  void loadObjects();
  void setState(CentralState state);
  void updateAdapterState();
  void awaitAdapter();
  void chooseAdapter();
  // bluetoothd went away (`daemonGone`, to come back) or the bus broke for good.
  void daemonGone();
  void busLost();
  void forgetObjects();

  void onInterfacesAdded(const std::string& path, const Interfaces& interfaces);
  void onInterfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
  void onPropertiesChanged(const std::string& path, const std::string& interface, const Properties& changed);

  void addAdapter(const std::string& path, const Properties& properties);
  std::shared_ptr<BluezPeripheral> deviceAt(const std::string& path);
  void updateDevice(BluezPeripheral& device, const Properties& properties);
  void addService(const std::string& path, const Properties& properties);
  void addCharacteristic(const std::string& path, const Properties& properties);
  void removeDevice(const std::string& path);
  void removeService(const std::string& path);

  // bluez_links.cpp
  void startConnect(const std::shared_ptr<BluezPeripheral>& device);
  void release(const std::shared_ptr<BluezPeripheral>& device);
  void released(const std::shared_ptr<BluezPeripheral>& device);
  void stopNotifications(const BluezPeripheral& device);
  void deviceConnectionChanged(const std::shared_ptr<BluezPeripheral>& device);
  // Every link is gone with bluetoothd: the chosen keyboard hears of it.
  void dropAllLinks();

  CentralManagerDelegate& delegate_;
  channel::AsioLoop& loop_;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<BusPump> pump_;
  bool busBroken_ = false;
  std::vector<sdbus::Slot> matches_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;

  CentralState state_ = CentralState::unknown;
  std::unique_ptr<channel::Timer> adapterGrace_;
  // Every adapter on the bus and whether it is powered; the first by path is used.
  std::map<std::string, std::pair<std::string, bool>> adapters_;
  std::string adapterPath_;
  bool startingScan_ = false;
  bool scanStartedHere_ = false;
  std::uint64_t scanGeneration_ = 0;
  // Devices of every adapter: a device may show up before its adapter. A
  // handle outlives a restart of bluetoothd, so that a keyboard listed
  // before it can still be chosen after.
  std::map<std::string, std::shared_ptr<BluezPeripheral>> devices_;
  // Every handle still held somewhere, by path.
  std::map<std::string, std::weak_ptr<BluezPeripheral>> handles_;
  std::map<std::string, std::shared_ptr<BluezService>> services_;
  std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristics_;
};

}  // namespace morvik::ble::linux
