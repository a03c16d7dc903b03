// A lost link, or an adapter switched off under it.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

TEST(Disconnection, LinkLostWhileReady) {
  const Lines lost{error(3, msg::disconnected), disconnectedEvent};
  const struct {
    std::string request;
    bool adapterOff;  // instead of the link loss: the platform reports only the state
    Lines expected;
  } cases[] = {
      {"", false, {disconnectedEvent}},  // nothing in flight: only the event
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})", false, lost},
      {R"({"id":3,"op":"read"})", false, lost},
      {R"({"id":3,"op":"voiceEnable","enabled":true})", false, lost},
      {R"({"id":3,"op":"voiceWrite","data":[1,2]})", false, lost},
      {R"({"id":3,"op":"read"})", true, {error(3, msg::adapterPoweredOff)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + (c.adapterOff ? " / adapter off" : ""));
    BridgeHarness h;
    auto keyboard = h.readyKeyboard();
    keyboard->hold();
    if (!c.request.empty()) h.send(c.request);
    c.adapterOff ? h.world.setAdapterState(CentralState::poweredOff) : keyboard->loseLink();
    // The operation's own completion was queued first; it arrives late.
    keyboard->releaseLast();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), c.expected);
    keyboard->release();
    h.loop.runReady();
    EXPECT_TRUE(c.adapterOff || h.world.connectionsCancelled() == 0) << "a lost link is not cancelled again";
    // The adapter off after the loss, and a disconnection reported after that, write nothing.
    h.world.setAdapterState(CentralState::poweredOff);
    h.loop.runReady();
    h.bridge->didDisconnectPeripheral(keyboard, std::nullopt);
    EXPECT_EQ(h.lines(), Lines{});
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

}  // namespace
}  // namespace morvik::ble
