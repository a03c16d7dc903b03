#pragma once

#include <string>

#include "ble/central.h"

namespace morvik::ble::darwin {

// The text CBUUID is made from: the 16- or 32-bit form for UUIDs on the
// Bluetooth base UUID (as the platform writes them), the full form otherwise.
std::string cbUUIDText(const BluetoothUUID& uuid);

}  // namespace morvik::ble::darwin
