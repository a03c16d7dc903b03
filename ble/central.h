#pragma once

// The Bluetooth LE central that morvik-ble relies on, with the meaning of
// CoreBluetooth: the same numeric states and property bits, platform objects
// as handles compared by identity (the same object is always the same
// shared_ptr), optional values where the platform may give none, and errors
// as their localized description. Every callback arrives on the main loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/json.h"
#include "channel/uuid.h"

namespace morvik::ble {

using channel::Bytes;
using channel::Uuid;

// 128-bit attribute UUID; the 16-bit forms ("1812") stand on the Bluetooth base UUID.
using BluetoothUUID = Uuid;
// Parses "1812", "0000180A" or the 36-character form, digits in either case.
std::optional<BluetoothUUID> parseBluetoothUUID(std::string_view text);
// For the fixed identifiers of the code: malformed text is a programming error.
BluetoothUUID bluetoothUUID(std::string_view text);

enum class CentralState : int {
  unknown = 0,
  resetting = 1,
  unsupported = 2,
  unauthorized = 3,
  poweredOff = 4,
  poweredOn = 5,
};

enum class PeripheralState : int { disconnected = 0, connecting = 1, connected = 2, disconnecting = 3 };

enum class WriteType : int { withResponse = 0, withoutResponse = 1 };

// Bits of the characteristic properties field.
namespace property {
inline constexpr std::uint32_t read = 0x02;
inline constexpr std::uint32_t writeWithoutResponse = 0x04;
inline constexpr std::uint32_t write = 0x08;
inline constexpr std::uint32_t notify = 0x10;
inline constexpr std::uint32_t indicate = 0x20;
}  // namespace property

// An error of the platform, as its localized description; none is success.
using BluetoothError = std::optional<std::string>;

class Characteristic {
 public:
  virtual ~Characteristic() = default;
  virtual BluetoothUUID uuid() const = 0;
  virtual std::uint32_t properties() const = 0;
  virtual std::optional<Bytes> value() const = 0;
  virtual bool isNotifying() const = 0;
};

class Service {
 public:
  virtual ~Service() = default;
  virtual BluetoothUUID uuid() const = 0;
  // None until characteristics were discovered.
  virtual std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const = 0;
};

class Peripheral;

class PeripheralDelegate {
 public:
  virtual ~PeripheralDelegate() = default;
  virtual void didDiscoverServices(const std::shared_ptr<Peripheral>& peripheral, const BluetoothError& error) = 0;
  virtual void didDiscoverCharacteristicsForService(const std::shared_ptr<Peripheral>& peripheral,
                                                    const std::shared_ptr<Service>& service,
                                                    const BluetoothError& error) = 0;
  virtual void didModifyServices(const std::shared_ptr<Peripheral>& peripheral,
                                 const std::vector<std::shared_ptr<Service>>& invalidatedServices) = 0;
  virtual void didWriteValueForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                              const std::shared_ptr<Characteristic>& characteristic,
                                              const BluetoothError& error) = 0;
  virtual void didUpdateValueForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                               const std::shared_ptr<Characteristic>& characteristic,
                                               const BluetoothError& error) = 0;
  virtual void didUpdateNotificationStateForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                                           const std::shared_ptr<Characteristic>& characteristic,
                                                           const BluetoothError& error) = 0;
};

class Peripheral {
 public:
  virtual ~Peripheral() = default;
  virtual Uuid identifier() const = 0;
  virtual std::optional<std::string> name() const = 0;
  virtual PeripheralState state() const = 0;
  virtual void setDelegate(PeripheralDelegate* delegate) = 0;

  virtual void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) = 0;
  // None until services were discovered.
  virtual std::optional<std::vector<std::shared_ptr<Service>>> services() const = 0;
  virtual void discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                                       const std::shared_ptr<Service>& service) = 0;
  virtual void readValue(const std::shared_ptr<Characteristic>& characteristic) = 0;
  virtual void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic, WriteType type) = 0;
  virtual void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) = 0;
  virtual std::size_t maximumWriteValueLength(WriteType type) const = 0;
};

struct AdvertisementData {
  std::optional<std::string> localName;
};

class CentralManagerDelegate {
 public:
  virtual ~CentralManagerDelegate() = default;
  virtual void centralManagerDidUpdateState() = 0;
  virtual void didDiscoverPeripheral(const std::shared_ptr<Peripheral>& peripheral,
                                     const AdvertisementData& advertisement, int rssi) = 0;
  virtual void didConnectPeripheral(const std::shared_ptr<Peripheral>& peripheral) = 0;
  virtual void didFailToConnectPeripheral(const std::shared_ptr<Peripheral>& peripheral,
                                          const BluetoothError& error) = 0;
  virtual void didDisconnectPeripheral(const std::shared_ptr<Peripheral>& peripheral, const BluetoothError& error) = 0;
};

class CentralManager {
 public:
  virtual ~CentralManager() = default;
  virtual CentralState state() const = 0;
  // All peripherals, duplicates not reported.
  virtual void scanForPeripherals() = 0;
  virtual bool isScanning() const = 0;
  virtual void stopScan() = 0;
  virtual std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<Uuid>& identifiers) = 0;
  virtual std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUUID>& serviceUUIDs) = 0;
  virtual void connect(const std::shared_ptr<Peripheral>& peripheral) = 0;
  virtual void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

// Creates the platform's central with its delegate; the platform reports the
// adapter state to the delegate from then on.
using CentralFactory = std::function<std::unique_ptr<CentralManager>(CentralManagerDelegate& delegate)>;

}  // namespace morvik::ble
