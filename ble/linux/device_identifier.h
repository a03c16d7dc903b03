#pragma once

#include <string_view>

#include "channel/uuid.h"

namespace morvik::ble::linux {

// BlueZ names devices by address; the bridge needs a UUID that stays the
// same across runs. It is derived by name (version 5) from the adapter's
// and the device's addresses in a namespace of our own.
channel::Uuid deviceIdentifier(std::string_view adapterAddress, std::string_view deviceAddress);

}  // namespace morvik::ble::linux
