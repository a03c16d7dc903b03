#include "ble/platform_central.h"

#include <cstdlib>

#include "ble/linux/bluez_central.h"

namespace morvik::ble {

CentralFactory platformCentralFactory(channel::MainLoop& loop) {
  // The Linux helpers run on the Asio loop, whose io_context serves the bus.
  auto* asioLoop = dynamic_cast<channel::AsioLoop*>(&loop);
  if (asioLoop == nullptr) std::abort();
  return [asioLoop](CentralManagerDelegate& delegate) {
    std::unique_ptr<sdbus::IConnection> bus;
    try {
      bus = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error&) {
      // No system bus: the adapter reports unsupported.
    }
    return std::make_unique<linux::BluezCentral>(delegate, *asioLoop, std::move(bus));
  };
}

}  // namespace morvik::ble
