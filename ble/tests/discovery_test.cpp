// The adapter state, the search for keyboards and the device list.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

using std::chrono::seconds;
namespace msg = message;

TEST_F(BridgeTest, ListIsPublishedAtOnceOnEveryReportAndEveryThreeSeconds) {
  startBridge();
  send(R"({"id":1,"op":"open"})");
  EXPECT_EQ(lines(), (Lines{devicesEvent({})}));
  EXPECT_TRUE(world.scanning());
  world.interruptScan();
  loop.advance(seconds(2));
  EXPECT_EQ(lines(), Lines{});
  loop.advance(seconds(1));
  EXPECT_EQ(lines(), (Lines{devicesEvent({})}));
  EXPECT_EQ(world.scansStarted(), 2) << "the tick restarts a scan that stopped";
  auto keyboard = addKeyboard();
  const std::string listed = devicesEvent({{keyboardA, "Morvik Pro"}});
  keyboard->advertise();
  keyboard->advertise();
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{listed, listed})) << "one entry, one event per report";
  loop.advance(seconds(6));
  EXPECT_EQ(lines(), (Lines{listed, listed}));
  EXPECT_EQ(world.scansStarted(), 2) << "a running scan is left alone";
  EXPECT_EQ(loop.activeTimers(), 1u);
  // While the adapter resets, the search waits and the ticks write nothing.
  world.setAdapterState(CentralState::resetting);
  loop.advance(seconds(9));
  EXPECT_EQ(lines(), Lines{});
}

TEST_F(BridgeTest, PreferredAndConnectedKeyboardsAreListedAtOnceWithoutAnAdvertisement) {
  sim::KeyboardSpec connected = keyboardSpec(keyboardA, "Morvik Pro");
  connected.connectedToSystem = true;
  connected.systemServices = {bluetoothUUID("1812")};
  sim::KeyboardSpec preferred = keyboardSpec(keyboardB, std::nullopt);  // known, but without a name
  sim::KeyboardSpec unnamed = keyboardSpec("C1B2C3D4-0000-4000-8000-000000000003", std::nullopt);
  unnamed.connectedToSystem = true;  // connected but nameless: skipped
  for (auto* spec : {&connected, &preferred, &unnamed}) {
    spec->advertising = false;
    addKeyboard(*spec);
  }
  startBridge();
  send(R"({"id":1,"op":"open","preferred":")" + keyboardB + "\"}");
  // Ordered by identifier: B was found first.
  EXPECT_EQ(lines(), (Lines{devicesEvent({{keyboardA, "Morvik Pro"}, {keyboardB, "Morvik Pro"}})}));
}

TEST_F(BridgeTest, KeyboardNameRule) {
  const struct {
    std::optional<std::string> name;
    std::optional<std::string> advertised;
    std::optional<std::string> listedAs;
  } cases[] = {
      {"Morvik Pro", std::nullopt, "Morvik Pro"},
      {"morvik pro", std::nullopt, std::nullopt},   // case counts
      {" Morvik Pro", std::nullopt, std::nullopt},  // nothing before the prefix
      {"Morvik Pr", std::nullopt, std::nullopt},
      {std::nullopt, "Morvik Pro X", "Morvik Pro"},  // advertised, when the platform knows no name
      {std::nullopt, "Other", std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
      {"Other Keyboard", "Morvik Pro", std::nullopt},  // never over the platform's name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.value_or("(none)") + " / " + c.advertised.value_or("(none)"));
    BridgeHarness h;
    sim::KeyboardSpec spec = keyboardSpec(keyboardA, c.name);
    spec.advertisedName = c.advertised;
    h.addKeyboard(spec);
    h.startBridge();
    h.send(R"({"id":1,"op":"open"})");
    Lines expected{devicesEvent({})};
    if (c.listedAs) expected.push_back(devicesEvent({{keyboardA, *c.listedAs}}));
    EXPECT_EQ(h.lines(), expected);
  }
}

// An adapter failing before the open fails it at once; one failing while
// searching answers the pending open.
TEST(Discovery, AdapterFailuresAnswerTheOpen) {
  const std::pair<CentralState, std::string_view> cases[] = {
      {CentralState::unsupported, msg::adapterUnsupported},
      {CentralState::unauthorized, msg::adapterUnauthorized},
      {CentralState::poweredOff, msg::adapterPoweredOff},
  };
  for (const auto& [state, message] : cases) {
    SCOPED_TRACE(static_cast<int>(state));
    BridgeHarness h(state);
    h.startBridge();
    EXPECT_EQ(h.lines(), Lines{});
    h.send(R"({"id":1,"op":"open"})");
    EXPECT_EQ(h.lines(), (Lines{error(1, message)}));
    h.world.setAdapterState(CentralState::poweredOn);
    h.loop.runReady();
    h.send(R"({"id":2,"op":"open"})");
    EXPECT_EQ(h.lines(), (Lines{devicesEvent({})}));
    h.world.setAdapterState(state);
    h.loop.runReady();
    EXPECT_EQ(h.lines(), (Lines{error(2, message)}));
    // Back on: no list until a new open.
    h.world.setAdapterState(CentralState::poweredOn);
    h.loop.advance(seconds(9));
    EXPECT_EQ(h.lines(), Lines{});
  }
}

}  // namespace
}  // namespace morvik::ble
