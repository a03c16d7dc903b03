#pragma once

#include "ble/central.h"

namespace morvik::ble::darwin {

// The central of CoreBluetooth, created on the main dispatch queue.
CentralFactory coreBluetoothCentralFactory();

}  // namespace morvik::ble::darwin
