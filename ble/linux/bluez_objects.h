#pragma once

// The handles the bridge holds for BlueZ objects: one per object path, kept
// for as long as the object lives on the bus.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/Error.h>

#include "ble/central.h"
#include "channel/main_loop.h"

namespace morvik::ble::linux {

class BluezCentral;

// A D-Bus error as the bridge reports it: its message, or its name when it has none.
std::string describe(const sdbus::Error& error);

// The properties bits of a GattCharacteristic1 "Flags" list.
std::uint32_t propertiesFromFlags(const std::vector<std::string>& flags);

class BluezCharacteristic final : public Characteristic {
 public:
  BluezCharacteristic(std::string objectPath, std::string ofService)
      : path(std::move(objectPath)), servicePath(std::move(ofService)) {}
  BluetoothUUID uuid() const override { return uuid_; }
  std::uint32_t properties() const override { return properties_; }
  std::optional<Bytes> value() const override { return value_; }
  bool isNotifying() const override { return notifying_; }

  const std::string path;
  const std::string servicePath;
  BluetoothUUID uuid_{};
  std::uint32_t properties_ = 0;
  std::optional<Bytes> value_;
  bool notifying_ = false;
  std::optional<std::uint16_t> mtu_;
};

class BluezService final : public Service {
 public:
  BluezService(std::string objectPath, std::string ofDevice)
      : path(std::move(objectPath)), devicePath(std::move(ofDevice)) {}
  BluetoothUUID uuid() const override { return uuid_; }
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const override { return discovered_; }

  const std::string path;
  const std::string devicePath;
  BluetoothUUID uuid_{};
  std::optional<std::vector<std::shared_ptr<Characteristic>>> discovered_;
};

class BluezPeripheral final : public Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
 public:
  BluezPeripheral(BluezCentral& central, std::string objectPath) : path(std::move(objectPath)), central_(central) {}

  Uuid identifier() const override { return identifier_; }
  std::optional<std::string> name() const override { return name_; }
  PeripheralState state() const override { return state_; }
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
  void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) override;
  std::optional<std::vector<std::shared_ptr<Service>>> services() const override { return discovered_; }
  void discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                               const std::shared_ptr<Service>& service) override;
  void readValue(const std::shared_ptr<Characteristic>& characteristic) override;
  void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic, WriteType type) override;
  void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) override;
  std::size_t maximumWriteValueLength(WriteType type) const override;

  PeripheralDelegate* delegate() const { return delegate_; }

  bool linkUp() const { return connected_ && servicesResolved_; }
  // bluetoothd keeps a paired keyboard's link for its HID profile: letting
  // that link go would stop the keyboard typing.
  bool heldBySystem() const;
  // A failed request whose link is going down is answered after the link's
  // fate is known: a lost link is then reported as lost, not as a failed read.
  void answer(bool failed, channel::Task deliver);
  void settleAnswers();

  const std::string path;
  Uuid identifier_{};
  std::string address_;
  std::string adapterPath_;
  std::optional<std::string> name_;
  std::vector<BluetoothUUID> uuids_;
  bool connected_ = false;
  bool servicesResolved_ = false;
  bool paired_ = false;
  bool connectAnswered_ = false;
  // The state the bridge sees; the link itself may lag behind it.
  PeripheralState state_ = PeripheralState::disconnected;
  // This helper brought the link up, so it may take it down again.
  bool broughtUpHere_ = false;
  // A Disconnect of ours is under way; a connection asked for meanwhile
  // waits for it to finish.
  bool releasing_ = false;
  bool connectWhenReleased_ = false;
  // Counts connection requests, so that reports of an earlier one are dropped.
  std::uint64_t generation_ = 0;
  std::optional<std::vector<std::shared_ptr<Service>>> discovered_;
  // Services removed from the live link, reported together once the removal is over.
  std::vector<std::shared_ptr<Service>> invalidated_;
  std::unique_ptr<channel::Timer> serviceChange_;

 private:
  BluezCentral& central_;
  PeripheralDelegate* delegate_ = nullptr;
  std::vector<channel::Task> unsettled_;
};

}  // namespace morvik::ble::linux
