// A lost link, an adapter switched off under it, or services changed under it.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

TEST(Disconnection, LinkLostOrChangedWhileReady) {
  const Lines lost{error(3, msg::disconnected), disconnectedEvent};
  enum Fault { linkLost, adapterOff, configurationChanged, voiceChanged };
  const struct {
    std::string request;
    Fault fault;
    Lines expected;
  } cases[] = {
      {"", linkLost, {disconnectedEvent}},  // nothing in flight: only the event
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})", linkLost, lost},
      {R"({"id":3,"op":"read"})", linkLost, lost},
      {R"({"id":3,"op":"voiceEnable","enabled":true})", linkLost, lost},
      {R"({"id":3,"op":"voiceWrite","data":[1,2]})", linkLost, lost},
      {R"({"id":3,"op":"read"})", adapterOff, {error(3, msg::adapterPoweredOff)}},
      {"", configurationChanged, {disconnectedEvent}},
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})",
       voiceChanged,
       {error(3, msg::servicesChanged), disconnectedEvent}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + " / fault " + std::to_string(c.fault));
    BridgeHarness h;
    auto keyboard = h.readyKeyboard();
    keyboard->hold();
    if (!c.request.empty()) h.send(c.request);
    if (c.fault == linkLost) keyboard->loseLink();
    if (c.fault == adapterOff) h.world.setAdapterState(CentralState::poweredOff);
    if (c.fault == configurationChanged || c.fault == voiceChanged) {
      const auto changed = c.fault == voiceChanged ? gatt::voiceService : gatt::configurationService;
      keyboard->changeServices({bluetoothUUID(changed)}, sim::morvikProServices(true));
    }
    // The operation's own completion was queued first; it arrives late.
    keyboard->releaseLast();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), c.expected);
    keyboard->release();
    h.loop.runReady();
    EXPECT_EQ(h.world.connectionsCancelled(), c.fault == linkLost ? 0 : 1) << "only a lost link is not cancelled";
    // The adapter off after the loss, and a disconnection reported after that, write nothing.
    h.world.setAdapterState(CentralState::poweredOff);
    h.loop.runReady();
    h.bridge->didDisconnectPeripheral(keyboard, std::nullopt);
    EXPECT_EQ(h.lines(), Lines{});
    h.send(R"({"id":5,"op":"read"})");
    EXPECT_EQ(h.lines(), (Lines{error(5, msg::configurationNotReady)}));
  }
}

}  // namespace
}  // namespace morvik::ble
