#include "ble/linux/bluez_objects.h"

#include <algorithm>
#include <map>
#include <utility>

#include "ble/linux/bluez_central.h"
#include "ble/linux/bluez_names.h"

namespace morvik::ble::linux {
namespace {

BluetoothError errorOf(const sdbus::Error* error) {
  if (error == nullptr) return std::nullopt;
  return describe(*error);
}

template <typename Handle>
bool wanted(const std::vector<BluetoothUUID>& uuids, const Handle& handle) {
  return std::find(uuids.begin(), uuids.end(), handle->uuid()) != uuids.end();
}

constexpr std::size_t defaultWriteLength = 20;  // the 23-byte ATT MTU minus 3
constexpr std::size_t attributeLength = 512;

}  // namespace

std::string describe(const sdbus::Error& error) {
  return error.getMessage().empty() ? error.getName() : error.getMessage();
}

std::uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
  static const std::map<std::string, std::uint32_t> bits = {
      {"broadcast", 0x01},
      {"read", property::read},
      {"write-without-response", property::writeWithoutResponse},
      {"write", property::write},
      {"notify", property::notify},
      {"indicate", property::indicate},
      {"authenticated-signed-writes", 0x40},
      {"extended-properties", 0x80},
  };
  std::uint32_t properties = 0;
  for (const auto& flag : flags) {
    const auto bit = bits.find(flag);
    if (bit != bits.end()) properties |= bit->second;
  }
  return properties;
}

void BluezPeripheral::discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) {
  if (state_ != PeripheralState::connected) return;
  // BlueZ has resolved the services before the connection is reported, so
  // the answer is at hand; it still comes later, as the platform's would.
  central_.later([self = shared_from_this(), serviceUUIDs] {
    if (self->state_ != PeripheralState::connected) return;
    std::vector<std::shared_ptr<Service>> found;
    for (const auto& service : self->central_.servicesOf(self->path))
      if (wanted(serviceUUIDs, service)) found.push_back(service);
    self->discovered_ = std::move(found);
    if (self->delegate_) self->delegate_->didDiscoverServices(self, std::nullopt);
  });
}

void BluezPeripheral::discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                                              const std::shared_ptr<Service>& service) {
  auto bluezService = std::dynamic_pointer_cast<BluezService>(service);
  if (state_ != PeripheralState::connected || !bluezService) return;
  central_.later([self = shared_from_this(), bluezService, characteristicUUIDs] {
    if (self->state_ != PeripheralState::connected) return;
    std::vector<std::shared_ptr<Characteristic>> found;
    for (const auto& characteristic : self->central_.characteristicsOf(bluezService->path))
      if (wanted(characteristicUUIDs, characteristic)) found.push_back(characteristic);
    bluezService->discovered_ = std::move(found);
    if (self->delegate_) self->delegate_->didDiscoverCharacteristicsForService(self, bluezService, std::nullopt);
  });
}

bool BluezPeripheral::heldBySystem() const {
  return paired_ && std::find(uuids_.begin(), uuids_.end(), bluetoothUUID("1812")) != uuids_.end();
}

void BluezPeripheral::answer(bool failed, channel::Task deliver) {
  if (failed && connected_ && !servicesResolved_) return unsettled_.push_back(std::move(deliver));
  deliver();
}

void BluezPeripheral::settleAnswers() {
  if (connected_ && !servicesResolved_) return;
  for (auto& deliver : std::exchange(unsettled_, {})) deliver();
}

void BluezPeripheral::readValue(const std::shared_ptr<Characteristic>& characteristic) {
  auto target = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
  if (!target) return;
  central_.call(
      target->path, bluez::gattCharacteristic, "ReadValue",
      [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; },
      [self = shared_from_this(), target](sdbus::MethodReply& reply, const sdbus::Error* error) {
        if (error == nullptr) {
          std::vector<std::uint8_t> value;
          reply >> value;
          target->value_ = std::move(value);
        }
        self->answer(error != nullptr, [self, target, failure = errorOf(error)] {
          if (self->delegate_) self->delegate_->didUpdateValueForCharacteristic(self, target, failure);
        });
      });
}

void BluezPeripheral::writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic,
                                 WriteType type) {
  auto target = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
  if (!target) return;
  const bool withResponse = type == WriteType::withResponse;
  central_.call(
      target->path, bluez::gattCharacteristic, "WriteValue",
      [&data, withResponse](sdbus::MethodCall& call) {
        call << data
             << std::map<std::string, sdbus::Variant>{
                    {"type", sdbus::Variant(std::string(withResponse ? "request" : "command"))}};
      },
      [self = shared_from_this(), target, withResponse](sdbus::MethodReply&, const sdbus::Error* error) {
        if (!withResponse) return;
        self->answer(error != nullptr, [self, target, failure = errorOf(error)] {
          if (self->delegate_) self->delegate_->didWriteValueForCharacteristic(self, target, failure);
        });
      });
}

void BluezPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) {
  auto target = std::dynamic_pointer_cast<BluezCharacteristic>(characteristic);
  if (!target) return;
  central_.call(
      target->path, bluez::gattCharacteristic, enabled ? "StartNotify" : "StopNotify", [](sdbus::MethodCall&) {},
      [self = shared_from_this(), target, enabled](sdbus::MethodReply&, const sdbus::Error* error) {
        if (error == nullptr) target->notifying_ = enabled;
        self->answer(error != nullptr, [self, target, failure = errorOf(error)] {
          if (self->delegate_) self->delegate_->didUpdateNotificationStateForCharacteristic(self, target, failure);
        });
      });
}

std::size_t BluezPeripheral::maximumWriteValueLength(WriteType type) const {
  if (type == WriteType::withResponse) return attributeLength;
  // All characteristics of a link share its ATT MTU; BlueZ reports it on each.
  std::optional<std::uint16_t> mtu;
  for (const auto& service : central_.servicesOf(path))
    for (const auto& characteristic : central_.characteristicsOf(service->path))
      if (characteristic->mtu_ && (!mtu || *characteristic->mtu_ > *mtu)) mtu = characteristic->mtu_;
  return mtu && *mtu > 3 ? std::size_t{*mtu} - 3 : defaultWriteLength;
}

}  // namespace morvik::ble::linux
