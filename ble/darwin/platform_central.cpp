#include "ble/platform_central.h"

#include "ble/darwin/core_bluetooth_central.h"

namespace morvik::ble {

// CoreBluetooth delivers on the main dispatch queue, which the main run loop
// serves: the loop itself is not needed here.
CentralFactory platformCentralFactory(channel::MainLoop& /*loop*/) { return darwin::coreBluetoothCentralFactory(); }

}  // namespace morvik::ble
