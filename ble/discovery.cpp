// The adapter state, the search for keyboards and the device list.
#include <chrono>

#include "ble/messages.h"
#include "ble/morvik_ble.h"

namespace morvik::ble {
namespace {

constexpr std::string_view keyboardName = "Morvik Pro";
constexpr auto discoveryInterval = std::chrono::seconds(3);

}  // namespace

bool isKeyboardName(std::string_view name) { return name.starts_with(keyboardName); }

void MorvikBLE::centralManagerDidUpdateState() {
  const CentralState state = central->state();
  if (state == CentralState::poweredOn) return discovery();
  failForAdapterState(state);
}

void MorvikBLE::failForAdapterState(CentralState state) {
  switch (state) {
    case CentralState::unsupported:
      return fail(message::adapterUnsupported);
    case CentralState::unauthorized:
      return fail(message::adapterUnauthorized);
    case CentralState::poweredOff:
      return fail(message::adapterPoweredOff);
    case CentralState::unknown:
    case CentralState::resetting:
    case CentralState::poweredOn:
      return;
  }
}

void MorvikBLE::discovery() {
  if (!opening || peripheral || central->state() != CentralState::poweredOn) return;
  if (preferred) {
    for (const auto& known : central->retrievePeripherals({*preferred})) {
      const auto name = known->name();
      if (!name || isKeyboardName(*name)) devices[known->identifier()] = known;
    }
  }
  const auto connected =
      central->retrieveConnectedPeripherals({bluetoothUUID("1812"), bluetoothUUID("180A"), serviceID});
  for (const auto& candidate : connected) {
    const auto name = candidate->name();
    if (name && isKeyboardName(*name)) devices[candidate->identifier()] = candidate;
  }
  publish();
  if (!central->isScanning()) central->scanForPeripherals();
  if (!discoveryTimer) {
    // The bridge outlives its timer, so the tick may refer to it directly.
    discoveryTimer = loop_.schedule(discoveryInterval, true, [this] { discovery(); });
  }
}

void MorvikBLE::didDiscoverPeripheral(const std::shared_ptr<Peripheral>& found, const AdvertisementData& advertisement,
                                      int /*rssi*/) {
  if (!opening || peripheral) return;
  // The advertised name counts only when the platform knows no name at all.
  const std::string name = found->name().value_or(advertisement.localName.value_or(""));
  if (!isKeyboardName(name)) return;
  devices[found->identifier()] = found;
  publish();
}

void MorvikBLE::publish() {
  Json list = Json::array();
  for (const auto& [identifier, device] : devices) {
    list.push_back(
        {{"deviceId", channel::uuidText(identifier)}, {"deviceName", device->name().value_or("Morvik Pro")}});
  }
  channel::emit(out_, Json{{"event", "devices"}, {"devices", std::move(list)}});
}

}  // namespace morvik::ble
