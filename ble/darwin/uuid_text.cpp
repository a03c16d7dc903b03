#include "ble/darwin/uuid_text.h"

#include <algorithm>

namespace morvik::ble::darwin {

std::string cbUUIDText(const BluetoothUUID& uuid) {
  static const BluetoothUUID base = bluetoothUUID("00000000-0000-1000-8000-00805F9B34FB");
  const bool onBase = std::equal(uuid.bytes.begin() + 4, uuid.bytes.end(), base.bytes.begin() + 4);
  const std::string text = channel::uuidText(uuid);
  if (!onBase) return text;
  const bool shortForm = uuid.bytes[0] == 0 && uuid.bytes[1] == 0;
  return shortForm ? text.substr(4, 4) : text.substr(0, 8);
}

}  // namespace morvik::ble::darwin
