#pragma once

// The bridge against the simulated world on a manual loop: requests go in,
// the loop runs until idle, and the test reads the lines written.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ble/keyboard_gatt.h"
#include "ble/messages.h"
#include "ble/morvik_ble.h"
#include "ble/sim/sim_world.h"
#include "channel/manual_loop.h"
#include "channel/output.h"

namespace morvik::ble {

using Lines = std::vector<std::string>;

inline const std::string keyboardA = "0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405";
inline const std::string keyboardB = "A1B2C3D4-0000-4000-8000-000000000002";

inline sim::KeyboardSpec keyboardSpec(const std::string& identifier, std::optional<std::string> name = "Morvik Pro") {
  sim::KeyboardSpec spec;
  spec.identifier = *channel::parseUuid(identifier);
  spec.name = std::move(name);
  return spec;
}

// An answer or event line, built the way the bridge writes it.
inline std::string answer(std::int64_t id, const channel::Json& result = true) {
  return channel::serialize({{"id", id}, {"result", result}});
}
inline std::string error(std::int64_t id, std::string_view message) {
  return channel::serialize({{"id", id}, {"error", message}});
}
inline std::string devicesEvent(const std::vector<std::pair<std::string, std::string>>& devices) {
  channel::Json list = channel::Json::array();
  for (const auto& [id, name] : devices) list.push_back({{"deviceId", id}, {"deviceName", name}});
  return channel::serialize({{"event", "devices"}, {"devices", list}});
}
inline const std::string disconnectedEvent = R"({"event":"disconnected"})";

// One bridge in its own simulated world; table-driven tests make one per case.
class BridgeHarness {
 public:
  explicit BridgeHarness(CentralState adapter = CentralState::poweredOn) : world(loop, adapter) {}

  void startBridge() {
    bridge = std::make_unique<MorvikBLE>(out, loop, world.centralFactory());
    loop.runReady();
  }

  std::shared_ptr<sim::SimKeyboard> addKeyboard(sim::KeyboardSpec spec = keyboardSpec(keyboardA)) {
    return world.addKeyboard(std::move(spec));
  }

  // One request line; the loop then runs until nothing is left to do.
  void send(const std::string& line) {
    const auto request = channel::parseObject(line);
    ASSERT_TRUE(request) << line;
    bridge->receive(*request);
    loop.runReady();
  }

  Lines lines() { return out.takeLines(); }

  // Open and select keyboard A; the open answer is left in the output. With
  // the keyboard's callbacks `held` from the select on, the bridge is Setting
  // up and the connection report waits to be released.
  void openAndSelect(sim::SimKeyboard* held = nullptr) {
    send(R"({"id":1,"op":"open"})");
    if (held) held->hold();
    send(R"({"id":2,"op":"select","deviceId":")" + keyboardA + "\"}");
  }

  // Keyboard A in the Ready state, with the output cleared.
  std::shared_ptr<sim::SimKeyboard> readyKeyboard(sim::KeyboardSpec spec = keyboardSpec(keyboardA)) {
    auto keyboard = addKeyboard(std::move(spec));
    startBridge();
    openAndSelect();
    const Lines output = lines();
    EXPECT_TRUE(!output.empty() && output.back().starts_with(R"({"id":1,"result":{)")) << "open not answered";
    EXPECT_FALSE(world.scanning() || loop.activeTimers() > 0) << "the search ended with the select";
    return keyboard;
  }

  // Declared in this order so that the bridge goes first and the loop last.
  channel::ManualLoop loop;
  sim::SimWorld world;
  channel::RecordingOutput out;
  std::unique_ptr<MorvikBLE> bridge;
};

class BridgeTest : public ::testing::Test, public BridgeHarness {};

}  // namespace morvik::ble
