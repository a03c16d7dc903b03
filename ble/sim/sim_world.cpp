#include "ble/sim/sim_world.h"

#include <algorithm>

#include "ble/keyboard_gatt.h"

namespace morvik::ble::sim {

std::vector<ServiceSpec> morvikProServices(bool withVoice) {
  std::vector<ServiceSpec> services = {
      {bluetoothUUID(gatt::configurationService),
       {{bluetoothUUID(gatt::command), property::write | property::writeWithoutResponse},
        {bluetoothUUID(gatt::response), property::read | property::notify}}}};
  if (withVoice) {
    services.push_back(
        {bluetoothUUID(gatt::voiceService),
         {{bluetoothUUID(gatt::voiceCommand), property::write}, {bluetoothUUID(gatt::voiceStream), property::notify}}});
  }
  return services;
}

ServiceSpec batteryService() { return {bluetoothUUID("180F"), {{bluetoothUUID("2A19"), property::read}}}; }

SimService::SimService(const ServiceSpec& spec) : uuid_(spec.uuid) {
  for (const auto& c : spec.characteristics) all_.push_back(std::make_shared<SimCharacteristic>(c));
}

void SimService::discover(const std::vector<BluetoothUUID>& uuids) {
  if (!discovered_) discovered_.emplace();
  for (const auto& c : all_) {
    const bool wanted = std::find(uuids.begin(), uuids.end(), c->uuid()) != uuids.end();
    const bool listed = std::find(discovered_->begin(), discovered_->end(), c) != discovered_->end();
    if (wanted && !listed) discovered_->push_back(c);
  }
}

std::shared_ptr<SimCharacteristic> SimService::find(const BluetoothUUID& uuid) const {
  for (const auto& c : all_)
    if (c->uuid() == uuid) return c;
  return nullptr;
}

// The central the bridge drives; the world keeps the keyboards.
class SimCentral final : public CentralManager {
 public:
  SimCentral(SimWorld& world, CentralManagerDelegate& delegate) : world_(world), delegate_(delegate) {
    world_.central_ = this;
    // Like the platform, the state is unknown until the first report.
    world_.loop_.post([&world] {
      if (world.central_) world.central_->updateState(world.adapterState_);
    });
  }
  ~SimCentral() override { world_.central_ = nullptr; }

  CentralState state() const override { return state_; }
  void scanForPeripherals() override {
    if (state_ != CentralState::poweredOn) return;
    scanning_ = true;
    ++world_.scansStarted_;
    world_.advertiseAll();
  }
  bool isScanning() const override { return scanning_; }
  void stopScan() override { scanning_ = false; }

  std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<Uuid>& identifiers) override {
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& keyboard : world_.keyboards_) {
      const bool asked = std::find(identifiers.begin(), identifiers.end(), keyboard->identifier()) != identifiers.end();
      if (asked && keyboard->spec_.known) found.push_back(keyboard);
    }
    return found;
  }

  std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUUID>& serviceUUIDs) override {
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& keyboard : world_.keyboards_) {
      if (!keyboard->spec_.connectedToSystem) continue;
      const auto& offered = keyboard->spec_.systemServices;
      const bool matches = std::any_of(serviceUUIDs.begin(), serviceUUIDs.end(), [&](const auto& uuid) {
        return std::find(offered.begin(), offered.end(), uuid) != offered.end();
      });
      if (matches) found.push_back(keyboard);
    }
    return found;
  }

  void connect(const std::shared_ptr<Peripheral>& peripheral) override {
    if (auto keyboard = world_.keyboardOf(peripheral)) keyboard->startConnection();
  }

  void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) override {
    ++world_.cancellations_;
    if (auto keyboard = world_.keyboardOf(peripheral)) keyboard->cancelConnection();
  }

  void updateState(CentralState state) {
    state_ = state;
    if (state != CentralState::poweredOn) scanning_ = false;
    delegate_.centralManagerDidUpdateState();
  }

  void report(const std::shared_ptr<SimKeyboard>& keyboard) {
    if (!scanning_) return;
    delegate_.didDiscoverPeripheral(keyboard, {keyboard->spec_.advertisedName}, -50);
  }

  CentralManagerDelegate& delegate() { return delegate_; }

 private:
  SimWorld& world_;
  CentralManagerDelegate& delegate_;
  CentralState state_ = CentralState::unknown;
  bool scanning_ = false;
};

// --- SimWorld ---------------------------------------------------------------

SimWorld::SimWorld(channel::MainLoop& loop, CentralState adapterState) : loop_(loop), adapterState_(adapterState) {}

SimWorld::~SimWorld() {
  // Held callbacks keep their keyboard alive; let them go with the world.
  for (const auto& keyboard : keyboards_) {
    keyboard->held_.clear();
    keyboard->voiceTimer_.reset();
  }
}

CentralFactory SimWorld::centralFactory() {
  return [this](CentralManagerDelegate& delegate) { return std::make_unique<SimCentral>(*this, delegate); };
}

std::shared_ptr<SimKeyboard> SimWorld::addKeyboard(KeyboardSpec spec) {
  auto keyboard = std::make_shared<SimKeyboard>(*this, std::move(spec));
  keyboards_.push_back(keyboard);
  return keyboard;
}

std::shared_ptr<SimKeyboard> SimWorld::keyboardOf(const std::shared_ptr<Peripheral>& peripheral) const {
  for (const auto& keyboard : keyboards_)
    if (keyboard == peripheral) return keyboard;
  return nullptr;
}

void SimWorld::setAdapterState(CentralState state) {
  adapterState_ = state;
  if (state != CentralState::poweredOn) {
    // Links end with the adapter; the platform reports only the state.
    for (const auto& keyboard : keyboards_) keyboard->dropConnection();
  }
  loop_.post([this, state] {
    if (central_) central_->updateState(state);
  });
}

void SimWorld::interruptScan() {
  if (central_) central_->stopScan();
}

bool SimWorld::scanning() const { return central_ != nullptr && central_->isScanning(); }

void SimWorld::after(Duration delay, channel::Task task) {
  if (delay == Duration::zero()) return loop_.post(std::move(task));
  auto slot = timers_.emplace(timers_.end());
  *slot = loop_.schedule(delay, false, [this, slot, task = std::move(task)] {
    const auto done = std::move(*slot);
    timers_.erase(slot);
    task();
  });
}

void SimWorld::advertiseAll() {
  Duration delay = advertisingDelay_;
  for (const auto& keyboard : keyboards_) {
    if (!keyboard->spec_.advertising) continue;
    after(delay, [weak = std::weak_ptr<SimKeyboard>(keyboard)] {
      if (auto k = weak.lock()) k->advertise();
    });
    delay += advertisingDelay_;
  }
}

// --- SimKeyboard ------------------------------------------------------------

SimKeyboard::SimKeyboard(SimWorld& world, KeyboardSpec spec) : world_(world), spec_(std::move(spec)) {
  buildServices();
  responseValue_ = Bytes{};
}

SimKeyboard::~SimKeyboard() = default;

void SimKeyboard::buildServices() {
  layout_.clear();
  for (const auto& service : spec_.services) layout_.push_back(std::make_shared<SimService>(service));
}

void SimKeyboard::deliver(channel::Task task) {
  if (holding_) return held_.push_back(std::move(task));
  world_.loop_.post(std::move(task));
}

void SimKeyboard::release() {
  holding_ = false;
  while (!held_.empty()) {
    world_.loop_.post(std::move(held_.front()));
    held_.pop_front();
  }
}

void SimKeyboard::releaseFirst() {
  if (held_.empty()) return;
  world_.loop_.post(std::move(held_.front()));
  held_.pop_front();
}

void SimKeyboard::releaseLast() {
  if (held_.empty()) return;
  world_.loop_.post(std::move(held_.back()));
  held_.pop_back();
}

void SimKeyboard::advertise() {
  if (world_.central_) world_.central_->report(shared_from_this());
}

void SimKeyboard::startConnection() {
  if (state_ != PeripheralState::disconnected) return;
  state_ = PeripheralState::connecting;
  auto connectDone = [self = shared_from_this()] {
    if (self->state_ != PeripheralState::connecting || !self->world_.central_) return;
    if (self->connectError_) {
      self->state_ = PeripheralState::disconnected;
      return self->world_.central_->delegate().didFailToConnectPeripheral(self, self->connectError_);
    }
    self->state_ = PeripheralState::connected;
    self->discovered_.reset();
    self->buildServices();
    self->world_.central_->delegate().didConnectPeripheral(self);
  };
  if (spec_.connectDelay == Duration::zero()) return deliver(std::move(connectDone));
  world_.after(spec_.connectDelay, [self = shared_from_this(), connectDone] { self->deliver(connectDone); });
}

void SimKeyboard::cancelConnection() {
  const bool wasConnected = state_ == PeripheralState::connected;
  dropConnection();
  if (!wasConnected) return;
  deliver([self = shared_from_this()] {
    if (self->world_.central_) self->world_.central_->delegate().didDisconnectPeripheral(self, std::nullopt);
  });
}

void SimKeyboard::dropConnection() {
  state_ = PeripheralState::disconnected;
  setVoiceStreaming(false);
  for (const auto& service : layout_)
    if (auto stream = service->find(bluetoothUUID(gatt::voiceStream))) stream->setNotifying(false);
}

void SimKeyboard::loseLink(BluetoothError error) {
  if (state_ != PeripheralState::connected) return;
  dropConnection();
  deliver([self = shared_from_this(), error] {
    if (self->world_.central_) self->world_.central_->delegate().didDisconnectPeripheral(self, error);
  });
}

void SimKeyboard::discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) {
  if (state_ != PeripheralState::connected) return;
  deliver([self = shared_from_this(), serviceUUIDs] {
    if (self->serviceDiscoveryError_) {
      self->discovered_.reset();
    } else {
      std::vector<std::shared_ptr<Service>> found;
      for (const auto& service : self->layout_) {
        if (std::find(serviceUUIDs.begin(), serviceUUIDs.end(), service->uuid()) != serviceUUIDs.end())
          found.push_back(service);
      }
      self->discovered_ = std::move(found);
    }
    if (self->delegate_) self->delegate_->didDiscoverServices(self, self->serviceDiscoveryError_);
  });
}

std::optional<std::vector<std::shared_ptr<Service>>> SimKeyboard::services() const { return discovered_; }

void SimKeyboard::discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                                          const std::shared_ptr<Service>& service) {
  if (state_ != PeripheralState::connected) return;
  auto simService = std::dynamic_pointer_cast<SimService>(service);
  if (!simService) return;
  deliver([self = shared_from_this(), simService, characteristicUUIDs] {
    const auto fault = self->characteristicErrors_.find(simService->uuid());
    const BluetoothError error = fault == self->characteristicErrors_.end() ? std::nullopt : fault->second;
    simService->discover(characteristicUUIDs);
    if (self->delegate_) self->delegate_->didDiscoverCharacteristicsForService(self, simService, error);
  });
}

std::shared_ptr<SimCharacteristic> SimKeyboard::characteristic(const BluetoothUUID& uuid) const {
  for (const auto& service : layout_)
    if (auto found = service->find(uuid)) return found;
  return nullptr;
}

void SimKeyboard::readValue(const std::shared_ptr<Characteristic>& target) {
  if (state_ != PeripheralState::connected) return;
  deliver([self = shared_from_this(), target] {
    if (!self->readError_) {
      if (auto sim = std::dynamic_pointer_cast<SimCharacteristic>(target)) sim->setValue(self->responseValue_);
    }
    if (self->delegate_) self->delegate_->didUpdateValueForCharacteristic(self, target, self->readError_);
  });
}

void SimKeyboard::writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& target, WriteType type) {
  if (state_ != PeripheralState::connected) return;
  writes_.push_back(data);
  // The firmware answers a configuration frame by echoing it as its response.
  if (target->uuid() == bluetoothUUID(gatt::command) && !writeError_) responseValue_ = data;
  if (type == WriteType::withoutResponse) return;
  deliver([self = shared_from_this(), target] {
    if (self->delegate_) self->delegate_->didWriteValueForCharacteristic(self, target, self->writeError_);
  });
}

void SimKeyboard::setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& target) {
  if (state_ != PeripheralState::connected) return;
  deliver([self = shared_from_this(), enabled, target] {
    auto sim = std::dynamic_pointer_cast<SimCharacteristic>(target);
    if (!self->notifyError_ && sim && self->state_ == PeripheralState::connected) {
      sim->setNotifying(enabled);
      if (sim->uuid() == bluetoothUUID(gatt::voiceStream)) self->setVoiceStreaming(enabled);
    }
    if (self->delegate_) self->delegate_->didUpdateNotificationStateForCharacteristic(self, target, self->notifyError_);
  });
}

std::size_t SimKeyboard::maximumWriteValueLength(WriteType type) const {
  // With response, a long write can carry up to the attribute's 512 bytes.
  return type == WriteType::withoutResponse ? spec_.maximumWriteLength : 512;
}

void SimKeyboard::setResponseValue(std::optional<Bytes> value) { responseValue_ = std::move(value); }

void SimKeyboard::setVoiceStreaming(bool on) {
  if (!on) {
    voiceTimer_.reset();
    return;
  }
  if (voiceTimer_) return;
  heard_ = 0;
  voiceTimer_ = world_.loop_.schedule(spec_.voiceInterval, true, [this] { sendVoicePackets(); });
}

void SimKeyboard::sendVoicePackets() {
  for (std::size_t i = 0; i < spec_.voicePacketsPerInterval; ++i) {
    Bytes packet(spec_.voicePacketSize, 0);
    const auto& microphone = spec_.microphone;
    if (heard_ < microphone.size()) {
      const std::size_t count = std::min(packet.size(), microphone.size() - heard_);
      std::copy_n(microphone.begin() + static_cast<std::ptrdiff_t>(heard_), count, packet.begin());
    }
    heard_ += packet.size();
    notifyVoice(packet);
  }
}

void SimKeyboard::notifyVoice(const Bytes& packet) {
  auto stream = characteristic(bluetoothUUID(gatt::voiceStream));
  if (!stream || !stream->isNotifying() || state_ != PeripheralState::connected) return;
  deliver([self = shared_from_this(), stream, packet] {
    stream->setValue(packet);
    if (self->delegate_) self->delegate_->didUpdateValueForCharacteristic(self, stream, std::nullopt);
  });
}

void SimKeyboard::changeServices(const std::vector<BluetoothUUID>& invalidated, std::vector<ServiceSpec> layout) {
  std::vector<std::shared_ptr<Service>> gone;
  for (const auto& service : layout_)
    if (std::find(invalidated.begin(), invalidated.end(), service->uuid()) != invalidated.end())
      gone.push_back(service);
  spec_.services = std::move(layout);
  // Services that stay keep their objects; the invalidated ones are replaced.
  std::vector<std::shared_ptr<SimService>> next;
  for (const auto& spec : spec_.services) {
    const auto kept = std::find_if(layout_.begin(), layout_.end(), [&](const auto& s) {
      return s->uuid() == spec.uuid && std::find(gone.begin(), gone.end(), s) == gone.end();
    });
    next.push_back(kept != layout_.end() ? *kept : std::make_shared<SimService>(spec));
  }
  layout_ = std::move(next);
  if (discovered_) {
    std::erase_if(*discovered_, [&](const auto& s) { return std::find(gone.begin(), gone.end(), s) != gone.end(); });
  }
  if (state_ != PeripheralState::connected) return;
  deliver([self = shared_from_this(), gone] {
    if (self->delegate_) self->delegate_->didModifyServices(self, gone);
  });
}

std::shared_ptr<SimKeyboard> addDefaultKeyboard(SimWorld& world, std::span<const std::uint8_t> microphone) {
  KeyboardSpec spec;
  spec.microphone = microphone;
  spec.identifier = *channel::parseUuid("0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405");
  return world.addKeyboard(spec);
}

}  // namespace morvik::ble::sim
