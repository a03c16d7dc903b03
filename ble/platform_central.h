#pragma once

#include "ble/central.h"
#include "channel/main_loop.h"

namespace morvik::ble {

// The central of the platform morvik-ble is built for: the simulated world,
// BlueZ on Linux or CoreBluetooth on macOS.
CentralFactory platformCentralFactory(channel::MainLoop& loop);

}  // namespace morvik::ble
