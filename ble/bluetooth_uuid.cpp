#include <cstdlib>

#include "ble/central.h"

namespace morvik::ble {

std::optional<BluetoothUUID> parseBluetoothUUID(std::string_view text) {
  if (text.size() == 4 || text.size() == 8) {
    // Short forms fill the first 32 bits of the Bluetooth base UUID.
    const std::string padded = std::string(8 - text.size(), '0') + std::string(text);
    return channel::parseUuid(padded + "-0000-1000-8000-00805F9B34FB");
  }
  return channel::parseUuid(text);
}

BluetoothUUID bluetoothUUID(std::string_view text) {
  const auto uuid = parseBluetoothUUID(text);
  if (!uuid) std::abort();
  return *uuid;
}

}  // namespace morvik::ble
