#include "ble/platform_central.h"

#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

#include "ble/sim/keyboard_voice.h"
#include "ble/sim/sim_world.h"

namespace morvik::ble {
namespace {

// Without the spoken sentence: three seconds of a 300 Hz tone.
std::vector<std::uint8_t> tone() {
  std::vector<std::uint8_t> pcm;
  for (int i = 0; i < 3 * 16000; ++i) {
    const auto sample = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 300 * i / 16000));
    pcm.push_back(static_cast<std::uint8_t>(sample));
    pcm.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
  }
  return pcm;
}

}  // namespace

CentralFactory platformCentralFactory(channel::MainLoop& loop) {
  // The world lives as long as the process, like the bridge that uses it.
  static sim::SimWorld world(loop);
  static const std::vector<std::uint8_t> fallback = sim::keyboardVoice().empty() ? tone() : std::vector<std::uint8_t>{};
  sim::addDefaultKeyboard(
      world, sim::keyboardVoice().empty() ? std::span<const std::uint8_t>(fallback) : sim::keyboardVoice());
  world.setAdvertisingDelay(std::chrono::milliseconds(150));
  return world.centralFactory();
}

}  // namespace morvik::ble
