#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/central.h"
#include "channel/json.h"
#include "channel/main_loop.h"
#include "channel/output.h"

namespace morvik::ble {

using channel::Json;

// The bridge between the application and one Morvik Pro: owns the whole
// state of the link and answers every request. Lives for the whole process
// and runs on the main loop only.
//
// Its work is split by concern: requests.cpp (receive and the request
// handlers, reply/reject/fail), discovery.cpp (adapter state, the search and
// the device list), link_setup.cpp (connection and GATT setup),
// transfers.cpp (completions and voice packets), disconnection.cpp.
class MorvikBLE final : public CentralManagerDelegate, public PeripheralDelegate {
 public:
  MorvikBLE(channel::Output& out, channel::MainLoop& loop, const CentralFactory& makeCentral);
  ~MorvikBLE() override;
  MorvikBLE(const MorvikBLE&) = delete;
  MorvikBLE& operator=(const MorvikBLE&) = delete;

  // One request object from the channel.
  void receive(const Json& request);

  // CentralManagerDelegate
  void centralManagerDidUpdateState() override;
  void didDiscoverPeripheral(const std::shared_ptr<Peripheral>& peripheral, const AdvertisementData& advertisement,
                             int rssi) override;
  void didConnectPeripheral(const std::shared_ptr<Peripheral>& peripheral) override;
  void didFailToConnectPeripheral(const std::shared_ptr<Peripheral>& peripheral, const BluetoothError& error) override;
  void didDisconnectPeripheral(const std::shared_ptr<Peripheral>& peripheral, const BluetoothError& error) override;

  // PeripheralDelegate
  void didDiscoverServices(const std::shared_ptr<Peripheral>& peripheral, const BluetoothError& error) override;
  void didDiscoverCharacteristicsForService(const std::shared_ptr<Peripheral>& peripheral,
                                            const std::shared_ptr<Service>& service,
                                            const BluetoothError& error) override;
  void didModifyServices(const std::shared_ptr<Peripheral>& peripheral,
                         const std::vector<std::shared_ptr<Service>>& invalidatedServices) override;
  void didWriteValueForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                      const std::shared_ptr<Characteristic>& characteristic,
                                      const BluetoothError& error) override;
  void didUpdateValueForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                       const std::shared_ptr<Characteristic>& characteristic,
                                       const BluetoothError& error) override;
  void didUpdateNotificationStateForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                                   const std::shared_ptr<Characteristic>& characteristic,
                                                   const BluetoothError& error) override;

 private:
  struct Operation {
    std::int64_t id;
    std::string op;
  };

  // requests.cpp
  void open(std::int64_t id, const Json& request);
  void select(std::int64_t id, const Json& request);
  void voiceEnable(std::int64_t id, const Json& request);
  void voiceWrite(std::int64_t id, const Json& request);
  void read(std::int64_t id);
  void write(std::int64_t id, const Json& request);
  void close(std::int64_t id);
  bool voiceReady() const;
  bool configurationReady() const;
  void reply(std::int64_t id, const Json& result = true);
  void reject(std::int64_t id, std::string_view message);
  void fail(std::string_view message);

  // discovery.cpp
  void discovery();
  void publish();
  void failForAdapterState(CentralState state);

  // link_setup.cpp
  void discoverKeyboardServices();
  Json openResult() const;

  // transfers.cpp
  void emitVoicePacket(const Bytes& packet);

  bool isChosen(const std::shared_ptr<Peripheral>& candidate) const {
    return peripheral != nullptr && candidate == peripheral;
  }
  // Completes the operation in flight: clears it first, then answers its id.
  std::optional<std::int64_t> takeOperation();

  channel::Output& out_;
  channel::MainLoop& loop_;

  const BluetoothUUID serviceID;
  const BluetoothUUID commandID;
  const BluetoothUUID responseID;
  const BluetoothUUID voiceServiceID;
  const BluetoothUUID voiceCommandID;
  const BluetoothUUID voiceStreamID;
  std::shared_ptr<Characteristic> voiceCommand;
  std::shared_ptr<Characteristic> voiceStream;
  // Services whose characteristic discovery is outstanding, by identity.
  std::vector<std::shared_ptr<Service>> discovering;
  std::unique_ptr<CentralManager> central;
  // Ordered by identifier; upper-case identifier texts sort the same way.
  std::map<Uuid, std::shared_ptr<Peripheral>> devices;
  std::shared_ptr<Peripheral> peripheral;
  std::shared_ptr<Characteristic> command;
  std::shared_ptr<Characteristic> response;
  std::optional<std::int64_t> opening;
  std::optional<Operation> operation;
  std::optional<Uuid> preferred;
  std::unique_ptr<channel::Timer> discoveryTimer;
};

// The keyboard name rule: a case-sensitive prefix test on "Morvik Pro".
bool isKeyboardName(std::string_view name);

}  // namespace morvik::ble
