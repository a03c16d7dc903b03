#include "ble/platform_central.h"

#include <chrono>

#include "ble/sim/sim_world.h"

namespace morvik::ble {

CentralFactory platformCentralFactory(channel::MainLoop& loop) {
  // The world lives as long as the process, like the bridge that uses it.
  static sim::SimWorld world(loop);
  sim::addDefaultKeyboard(world);
  world.setAdvertisingDelay(std::chrono::milliseconds(150));
  return world.centralFactory();
}

}  // namespace morvik::ble
