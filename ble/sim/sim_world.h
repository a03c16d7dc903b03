#pragma once

// A simulated Bluetooth world for tests, demos and app development without
// hardware: an adapter whose state can change, and virtual keyboards with a
// firmware that answers configuration frames and streams voice packets.
// Every callback reaches the central's delegate through the main loop, as
// the platform's would; tests script the world and inject faults.

#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ble/central.h"
#include "channel/main_loop.h"

namespace morvik::ble::sim {

using Duration = channel::Duration;

struct CharacteristicSpec {
  BluetoothUUID uuid;
  std::uint32_t properties;
};

struct ServiceSpec {
  BluetoothUUID uuid;
  std::vector<CharacteristicSpec> characteristics;
};

// The GATT layout of a Morvik Pro: the configuration service and, unless
// left out, the voice service.
std::vector<ServiceSpec> morvikProServices(bool withVoice = true);
// Battery service, a service the bridge does not use.
ServiceSpec batteryService();

struct KeyboardSpec {
  Uuid identifier;
  std::optional<std::string> name = "Morvik Pro";
  std::optional<std::string> advertisedName;
  std::vector<ServiceSpec> services = morvikProServices();
  // What a write without response may carry (the link's MTU minus 3).
  std::size_t maximumWriteLength = 182;
  bool advertising = true;
  // Known to the system from earlier connections (retrievable by identifier).
  bool known = true;
  // Connected to the computer already, for instance as its keyboard.
  bool connectedToSystem = false;
  std::vector<BluetoothUUID> systemServices = {bluetoothUUID("1812"), bluetoothUUID("180A")};
  // The microphone: 16 kHz 16-bit PCM bytes, streamed from their start each
  // time the voice stream is switched on, then silence. As a keyboard sends
  // several notifications per connection event: `voicePacketsPerInterval`
  // packets of `voicePacketSize` bytes every `voiceInterval`, 16 kHz audio.
  std::span<const std::uint8_t> microphone;
  std::size_t voicePacketSize = 160;
  std::size_t voicePacketsPerInterval = 4;
  Duration voiceInterval = std::chrono::milliseconds(20);
  Duration connectDelay{};
};

class SimCentral;
class SimWorld;

class SimCharacteristic final : public Characteristic {
 public:
  explicit SimCharacteristic(CharacteristicSpec spec) : spec_(spec) {}
  BluetoothUUID uuid() const override { return spec_.uuid; }
  std::uint32_t properties() const override { return spec_.properties; }
  std::optional<Bytes> value() const override { return value_; }
  bool isNotifying() const override { return notifying_; }

  void setValue(std::optional<Bytes> value) { value_ = std::move(value); }
  void setNotifying(bool notifying) { notifying_ = notifying; }

 private:
  CharacteristicSpec spec_;
  std::optional<Bytes> value_;
  bool notifying_ = false;
};

class SimService final : public Service {
 public:
  explicit SimService(const ServiceSpec& spec);
  BluetoothUUID uuid() const override { return uuid_; }
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const override { return discovered_; }

  // The platform lists the characteristics asked for, once discovered.
  void discover(const std::vector<BluetoothUUID>& uuids);
  std::shared_ptr<SimCharacteristic> find(const BluetoothUUID& uuid) const;

 private:
  BluetoothUUID uuid_;
  std::vector<std::shared_ptr<SimCharacteristic>> all_;
  std::optional<std::vector<std::shared_ptr<Characteristic>>> discovered_;
};

// One virtual keyboard, seen by the bridge as its peripheral.
class SimKeyboard final : public Peripheral, public std::enable_shared_from_this<SimKeyboard> {
 public:
  SimKeyboard(SimWorld& world, KeyboardSpec spec);
  ~SimKeyboard() override;

  // Peripheral
  Uuid identifier() const override { return spec_.identifier; }
  std::optional<std::string> name() const override { return spec_.name; }
  PeripheralState state() const override { return state_; }
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
  void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) override;
  std::optional<std::vector<std::shared_ptr<Service>>> services() const override;
  void discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                               const std::shared_ptr<Service>& service) override;
  void readValue(const std::shared_ptr<Characteristic>& characteristic) override;
  void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic, WriteType type) override;
  void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) override;
  std::size_t maximumWriteValueLength(WriteType type) const override;

  // Scripting.
  void setName(std::optional<std::string> name) { spec_.name = std::move(name); }
  // Reports one advertisement to a scanning central.
  void advertise();
  // The configuration response the firmware holds (a read returns it).
  void setResponseValue(std::optional<Bytes> value);
  // One voice notification now, when the stream is on.
  void notifyVoice(const Bytes& packet);

  // Faults.
  void failConnectionAttempts(BluetoothError error) { connectError_ = std::move(error); }
  void loseLink(BluetoothError error = std::string("The connection has timed out unexpectedly."));
  void failServiceDiscovery(BluetoothError error) { serviceDiscoveryError_ = std::move(error); }
  void failCharacteristicDiscovery(const BluetoothUUID& service, BluetoothError error) {
    characteristicErrors_[service] = std::move(error);
  }
  void failReads(BluetoothError error) { readError_ = std::move(error); }
  void failWrites(BluetoothError error) { writeError_ = std::move(error); }
  void failNotify(BluetoothError error) { notifyError_ = std::move(error); }
  // Invalidates the services with these UUIDs (their objects are gone) and
  // gives the keyboard a new layout.
  void changeServices(const std::vector<BluetoothUUID>& invalidated, std::vector<ServiceSpec> layout);

  // Callbacks about this keyboard are held back until released, so that
  // tests choose their order or deliver them late.
  void hold() { holding_ = true; }
  void release();
  // One held callback, the oldest or the newest; holding goes on.
  void releaseFirst();
  void releaseLast();
  std::size_t heldCallbacks() const { return held_.size(); }

  // What the firmware received.
  const std::vector<Bytes>& writes() const { return writes_; }
  std::shared_ptr<SimCharacteristic> characteristic(const BluetoothUUID& uuid) const;

 private:
  friend class SimCentral;
  friend class SimWorld;

  void deliver(channel::Task task);
  void buildServices();
  void startConnection();
  void cancelConnection();
  void dropConnection();
  void setVoiceStreaming(bool on);
  void sendVoicePackets();

  SimWorld& world_;
  KeyboardSpec spec_;
  PeripheralState state_ = PeripheralState::disconnected;
  PeripheralDelegate* delegate_ = nullptr;
  std::vector<std::shared_ptr<SimService>> layout_;
  std::optional<std::vector<std::shared_ptr<Service>>> discovered_;
  std::optional<Bytes> responseValue_;
  BluetoothError connectError_, serviceDiscoveryError_, readError_, writeError_, notifyError_;
  std::map<BluetoothUUID, BluetoothError> characteristicErrors_;
  bool holding_ = false;
  std::deque<channel::Task> held_;
  std::vector<Bytes> writes_;
  std::unique_ptr<channel::Timer> voiceTimer_;
  std::size_t heard_ = 0;  // microphone bytes sent since the stream was switched on
};

class SimWorld {
 public:
  explicit SimWorld(channel::MainLoop& loop, CentralState adapterState = CentralState::poweredOn);
  ~SimWorld();
  SimWorld(const SimWorld&) = delete;
  SimWorld& operator=(const SimWorld&) = delete;

  // The factory the bridge creates its central with.
  CentralFactory centralFactory();

  std::shared_ptr<SimKeyboard> addKeyboard(KeyboardSpec spec);
  // The adapter changes state; the central is told through the loop.
  void setAdapterState(CentralState state);
  CentralState adapterState() const { return adapterState_; }
  // Delay between the start of a scan and each keyboard's advertisement.
  void setAdvertisingDelay(Duration delay) { advertisingDelay_ = delay; }

  bool scanning() const;
  // The platform ends the scan on its own.
  void interruptScan();
  int scansStarted() const { return scansStarted_; }
  int connectionsCancelled() const { return cancellations_; }

 private:
  friend class SimCentral;
  friend class SimKeyboard;

  std::shared_ptr<SimKeyboard> keyboardOf(const std::shared_ptr<Peripheral>& peripheral) const;
  void after(Duration delay, channel::Task task);
  void advertiseAll();

  channel::MainLoop& loop_;
  CentralState adapterState_;
  SimCentral* central_ = nullptr;
  std::vector<std::shared_ptr<SimKeyboard>> keyboards_;
  std::list<std::unique_ptr<channel::Timer>> timers_;
  Duration advertisingDelay_{};
  int scansStarted_ = 0;
  int cancellations_ = 0;
};

// A world with one well-behaved Morvik Pro with both services, as the sim
// helpers start it, its microphone hearing `microphone`.
std::shared_ptr<SimKeyboard> addDefaultKeyboard(SimWorld& world, std::span<const std::uint8_t> microphone = {});

}  // namespace morvik::ble::sim
