// Bringing a keyboard's link up for the bridge and letting it go again,
// following the link through bluetoothd's Connected and ServicesResolved.
#include <algorithm>

#include "ble/linux/bluez_central.h"
#include "ble/linux/bluez_names.h"

namespace morvik::ble::linux {

void BluezCentral::connect(const std::shared_ptr<Peripheral>& peripheral) {
  auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
  if (!device || device->state_ != PeripheralState::disconnected) return;
  device->state_ = PeripheralState::connecting;
  device->connectAnswered_ = false;
  ++device->generation_;
  // bluetoothd refuses a connection while our disconnection is under way.
  if (device->releasing_) {
    device->connectWhenReleased_ = true;
    return;
  }
  startConnect(device);
}

void BluezCentral::startConnect(const std::shared_ptr<BluezPeripheral>& device) {
  device->broughtUpHere_ = !device->connected_;
  call(
      device->path, bluez::device, "Connect", [](sdbus::MethodCall&) {},
      [this, device, generation = device->generation_](sdbus::MethodReply&, const sdbus::Error* error) {
        if (device->state_ != PeripheralState::connecting || device->generation_ != generation) return;
        if (error != nullptr && error->getName() != "org.bluez.Error.AlreadyConnected") {
          device->state_ = PeripheralState::disconnected;
          return delegate_.didFailToConnectPeripheral(device, describe(*error));
        }
        device->connectAnswered_ = true;
        deviceConnectionChanged(device);
      });
}

void BluezCentral::cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) {
  auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
  if (!device || device->state_ == PeripheralState::disconnected) return;
  const bool wasConnected = device->state_ == PeripheralState::connected;
  device->state_ = PeripheralState::disconnected;
  device->connectWhenReleased_ = false;
  const auto generation = ++device->generation_;
  stopNotifications(*device);
  // Device1.Disconnect drops every profile of the device, its HID link and
  // automatic reconnection included: only a link this helper brought up,
  // and that the system does not keep for typing, is taken down.
  if (device->broughtUpHere_ && !device->heldBySystem() && !device->releasing_) release(device);
  // A cancelled attempt ends silently; a cancelled link reports its
  // disconnection, unless the keyboard was chosen again in the meantime.
  if (wasConnected)
    later([this, device, generation] {
      if (device->generation_ == generation) delegate_.didDisconnectPeripheral(device, std::nullopt);
    });
}

void BluezCentral::stopNotifications(const BluezPeripheral& device) {
  for (const auto& service : servicesOf(device.path)) {
    for (const auto& characteristic : characteristicsOf(service->path)) {
      if (!characteristic->notifying_) continue;
      characteristic->notifying_ = false;
      call(
          characteristic->path, bluez::gattCharacteristic, "StopNotify", [](sdbus::MethodCall&) {}, [](auto&, auto) {});
    }
  }
}

void BluezCentral::release(const std::shared_ptr<BluezPeripheral>& device) {
  device->releasing_ = true;
  call(
      device->path, bluez::device, "Disconnect", [](sdbus::MethodCall&) {},
      [this, device](sdbus::MethodReply&, const sdbus::Error*) {
        // Done, or refused because the link was already down.
        if (device->releasing_) released(device);
      });
}

void BluezCentral::released(const std::shared_ptr<BluezPeripheral>& device) {
  device->releasing_ = false;
  if (!std::exchange(device->connectWhenReleased_, false)) return;
  if (device->state_ == PeripheralState::connecting) startConnect(device);
}

void BluezCentral::deviceConnectionChanged(const std::shared_ptr<BluezPeripheral>& device) {
  if (device->releasing_ && !device->connected_) released(device);
  switch (device->state_) {
    case PeripheralState::connecting:
      if (device->linkUp()) {
        device->state_ = PeripheralState::connected;
        device->discovered_.reset();
        delegate_.didConnectPeripheral(device);
      } else if (!device->connected_ && device->connectAnswered_) {
        // The link came up and went again before its services were
        // resolved: a link lost while setting up, not a failed connection.
        device->state_ = PeripheralState::disconnected;
        delegate_.didDisconnectPeripheral(device, std::nullopt);
      }
      break;
    case PeripheralState::connected:
      // Services unresolved on a connected link: the link may be going, or
      // its services changing; Connected decides.
      if (device->connected_) break;
      device->state_ = PeripheralState::disconnected;
      for (const auto& service : servicesOf(device->path))
        for (const auto& characteristic : characteristicsOf(service->path)) characteristic->notifying_ = false;
      delegate_.didDisconnectPeripheral(device, std::nullopt);
      break;
    case PeripheralState::disconnected:
    case PeripheralState::disconnecting:
      break;
  }
  device->settleAnswers();
}

void BluezCentral::dropAllLinks() {
  for (const auto& [path, device] : devices_) {
    const bool chosen = device->state_ != PeripheralState::disconnected;
    // A Connect still unanswered never brought the link up: a failed connection.
    const bool attempt = device->state_ == PeripheralState::connecting && !device->connectAnswered_;
    device->connected_ = device->servicesResolved_ = false;
    device->releasing_ = device->connectWhenReleased_ = false;
    device->state_ = PeripheralState::disconnected;
    ++device->generation_;
    if (attempt)
      delegate_.didFailToConnectPeripheral(device, std::string("bluetoothd left while connecting"));
    else if (chosen)
      delegate_.didDisconnectPeripheral(device, std::nullopt);
    device->settleAnswers();
  }
}

}  // namespace morvik::ble::linux
