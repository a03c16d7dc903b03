// A lost link, an adapter switched off under it, or services changed under it.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

TEST(Disconnection, LinkLostOrChangedWhileReady) {
  const Lines lost{error(3, msg::disconnected), disconnectedEvent};
  enum Fault { linkLost, adapterOff, servicesChanged };
  const struct {
    std::string request;
    Fault fault;
    Lines expected;
    std::string_view service = {};  // the one that changed
  } cases[] = {
      {"", linkLost, {disconnectedEvent}},  // nothing in flight: only the event
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})", linkLost, lost},
      {R"({"id":3,"op":"read"})", linkLost, lost},
      {R"({"id":3,"op":"voiceEnable","enabled":true})", linkLost, lost},
      {R"({"id":3,"op":"voiceWrite","data":[1,2]})", linkLost, lost},
      {R"({"id":3,"op":"read"})", adapterOff, {error(3, msg::adapterPoweredOff)}},
      {"", servicesChanged, {disconnectedEvent}, gatt::configurationService},
      {R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})",
       servicesChanged,
       {error(3, msg::servicesChanged), disconnectedEvent},
       gatt::voiceService},
      {"", servicesChanged, {}, "180F"},  // the battery service only: the link stays up
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + " / fault " + std::to_string(c.fault) + " " + std::string(c.service));
    BridgeHarness h;
    sim::KeyboardSpec spec = keyboardSpec(keyboardA);
    spec.services.push_back(sim::batteryService());
    auto keyboard = h.readyKeyboard(spec);
    keyboard->hold();
    if (!c.request.empty()) h.send(c.request);
    if (c.fault == linkLost) keyboard->loseLink();
    if (c.fault == adapterOff) h.world.setAdapterState(CentralState::poweredOff);
    if (c.fault == servicesChanged) keyboard->changeServices({bluetoothUUID(c.service)}, spec.services);
    // The operation's own completion was queued first; it arrives late.
    keyboard->releaseLast();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), c.expected);
    keyboard->release();
    h.loop.runReady();
    const bool cancelled = c.fault != linkLost && !c.expected.empty();
    EXPECT_EQ(h.world.connectionsCancelled(), cancelled ? 1 : 0) << "a lost link is not cancelled again";
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
