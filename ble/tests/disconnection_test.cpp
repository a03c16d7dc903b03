// A lost link.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

TEST(Disconnection, LinkLostWhileReady) {
  const Lines lost{error(3, msg::disconnected), disconnectedEvent};
  const std::pair<std::string, Lines> cases[] = {
      {"", {disconnectedEvent}},  // nothing in flight: only the event
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})", lost},
      {R"({"id":3,"op":"read"})", lost},
      {R"({"id":3,"op":"voiceEnable","enabled":true})", lost},
      {R"({"id":3,"op":"voiceWrite","data":[1,2]})", lost},
  };
  for (const auto& [request, expected] : cases) {
    SCOPED_TRACE(request);
    BridgeHarness h;
    auto keyboard = h.readyKeyboard();
    keyboard->hold();
    if (!request.empty()) h.send(request);
    keyboard->loseLink();
    // The operation's own completion was queued first; it arrives late.
    keyboard->releaseLast();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), expected);
    keyboard->release();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), Lines{});
    EXPECT_EQ(h.world.connectionsCancelled(), 0) << "a lost link is not cancelled again";
    h.send(R"({"id":5,"op":"read"})");
    EXPECT_EQ(h.lines(), (Lines{error(5, msg::configurationNotReady)}));
  }
}

TEST_F(BridgeTest, LinkLostDuringSetup) {
  auto keyboard = addKeyboard();
  startBridge();
  selectHeld(keyboard);
  keyboard->releaseFirst();  // connected
  loop.runReady();
  keyboard->loseLink();
  keyboard->releaseLast();
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{error(1, msg::disconnected), disconnectedEvent}));
}

TEST_F(BridgeTest, AdapterOffWhileConnected) {
  const struct {
    const char* name;
    bool linkLossReportedFirst;
    Lines expected;
  } cases[] = {
      {"state change first", false, {error(3, msg::adapterPoweredOff)}},
      {"disconnection reported first", true, {error(3, msg::disconnected), disconnectedEvent}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness h;
    auto keyboard = h.readyKeyboard();
    keyboard->hold();
    h.send(R"({"id":3,"op":"read"})");
    if (c.linkLossReportedFirst) {
      keyboard->loseLink();
      keyboard->releaseLast();
      h.loop.runReady();
    }
    h.world.setAdapterState(CentralState::poweredOff);
    h.loop.runReady();
    // A disconnection reported after the state change is ignored.
    h.bridge->didDisconnectPeripheral(keyboard, std::nullopt);
    EXPECT_EQ(h.lines(), c.expected);
  }
}

}  // namespace
}  // namespace morvik::ble
