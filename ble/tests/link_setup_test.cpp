// From the connection to the answer of the open request.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

sim::ServiceSpec configurationService(std::uint32_t commandProperties, std::uint32_t responseProperties) {
  return {bluetoothUUID(gatt::configurationService),
          {{bluetoothUUID(gatt::command), commandProperties}, {bluetoothUUID(gatt::response), responseProperties}}};
}

sim::ServiceSpec voiceService(std::uint32_t commandProperties, std::uint32_t streamProperties) {
  return {
      bluetoothUUID(gatt::voiceService),
      {{bluetoothUUID(gatt::voiceCommand), commandProperties}, {bluetoothUUID(gatt::voiceStream), streamProperties}}};
}

// The answer to open (id 1) of keyboard A named "Morvik Pro".
std::string opened(bool audio = true, int maxChunk = 48) {
  return answer(1,
                {{"deviceId", keyboardA}, {"name", "Morvik Pro"}, {"audioSupported", audio}, {"maxChunk", maxChunk}});
}

// The output of open + select of this keyboard, after setup has run.
Lines setUp(sim::KeyboardSpec spec) {
  BridgeHarness h;
  h.addKeyboard(std::move(spec));
  h.startBridge();
  h.openAndSelect();
  Lines output = h.lines();
  // The device lists and the select answer come first.
  std::erase_if(output, [](const std::string& line) { return line.find("\"devices\"") != std::string::npos; });
  if (output.empty() || output.front() != answer(2)) {
    ADD_FAILURE() << "select not answered first";
    return output;
  }
  output.erase(output.begin());
  return output;
}

Lines setUp(std::vector<sim::ServiceSpec> services) {
  sim::KeyboardSpec spec = keyboardSpec(keyboardA);
  spec.services = std::move(services);
  return setUp(spec);
}

// The forms accepted are checked by CBUUIDText, which parses its texts back.
TEST(BluetoothUUIDText, OnlyFourOrEightDigitsOrTheFullForm) {
  for (const char* bad : {"", "18", "18123", "18-2", "xyzw", "7a8e1001-7d3b-4c6a-96a8"})
    EXPECT_EQ(parseBluetoothUUID(bad), std::nullopt) << bad;
}

TEST(LinkSetup, AnswersOpenOnceBothServicesReportedInEitherOrder) {
  for (bool voiceFirst : {false, true}) {
    SCOPED_TRACE(voiceFirst ? "voice service reports first" : "configuration service reports first");
    BridgeHarness h;
    auto keyboard = h.addKeyboard();
    h.startBridge();
    h.selectHeld(keyboard);
    keyboard->releaseFirst();  // connected
    h.loop.runReady();
    keyboard->releaseFirst();  // services
    h.loop.runReady();
    ASSERT_EQ(keyboard->heldCallbacks(), 2u);
    voiceFirst ? keyboard->releaseLast() : keyboard->releaseFirst();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), Lines{});
    keyboard->release();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), (Lines{opened()}));
  }
}

TEST(LinkSetup, ResultDependsOnTheLayout) {
  const auto rw = property::read | property::write;
  sim::ServiceSpec commandTwice = configurationService(property::writeWithoutResponse, property::read);
  commandTwice.characteristics.push_back({bluetoothUUID(gatt::command), property::write});
  auto listedTwice = sim::morvikProServices(true);
  listedTwice.push_back(listedTwice[0]);
  listedTwice.push_back(listedTwice[1]);
  const struct {
    const char* name;
    std::vector<sim::ServiceSpec> services;
    Lines expected;
  } cases[] = {
      {"both services", sim::morvikProServices(true), {opened()}},
      {"no voice service", sim::morvikProServices(false), {opened(false)}},
      {"voice stream cannot notify",
       {configurationService(property::write, property::read), voiceService(property::write, property::indicate)},
       {opened(false)}},
      {"voice command not writable with response",
       {configurationService(property::write, property::read),
        voiceService(property::writeWithoutResponse, property::notify)},
       {opened(false)}},
      {"command writable only without response",
       {configurationService(property::writeWithoutResponse, property::read)},
       {error(1, msg::configurationServiceIncomplete)}},
      {"response not readable",
       {configurationService(rw, property::notify)},
       {error(1, msg::configurationServiceIncomplete)}},
      {"no configuration service",
       {voiceService(property::write, property::notify)},
       {error(1, msg::configurationServiceMissing)}},
      {"no services", {}, {error(1, msg::configurationServiceMissing)}},
      {"a characteristic without the property is passed over", {commandTwice}, {opened(false)}},
      {"each service listed twice", listedTwice, {opened()}},
  };
  for (const auto& c : cases) EXPECT_EQ(setUp(c.services), c.expected) << c.name;
}

TEST(LinkSetup, NameFallsBackToMorvikPro) {
  sim::KeyboardSpec spec = keyboardSpec(keyboardA, std::nullopt);
  spec.advertisedName = "Morvik Pro";
  EXPECT_EQ(setUp(spec), Lines{opened()});
}

TEST(LinkSetup, MaxChunkFollowsTheWriteLength) {
  const std::pair<std::size_t, int> cases[] = {{20, 12},  {23, 15},  {30, 22}, {56, 48},
                                               {185, 48}, {512, 48}, {10, 12}, {0, 12}};
  for (const auto& [length, maxChunk] : cases) {
    sim::KeyboardSpec spec = keyboardSpec(keyboardA);
    spec.maximumWriteLength = length;
    EXPECT_EQ(setUp(spec), Lines{opened(true, maxChunk)}) << "write length " << length;
  }
}

TEST(LinkSetup, ConnectionAndDiscoveryErrors) {
  const struct {
    const char* name;
    std::function<void(sim::SimKeyboard&)> fault;
    std::string expected;
  } cases[] = {
      {"connection", [](auto& k) { k.failConnectionAttempts("Peer removed pairing information"); },
       error(1, msg::cannotConnect)},
      {"service discovery", [](auto& k) { k.failServiceDiscovery("GATT error"); },
       error(1, msg::configurationServiceMissing)},
      {"configuration characteristics",
       [](auto& k) { k.failCharacteristicDiscovery(bluetoothUUID(gatt::configurationService), "GATT error"); },
       error(1, msg::configurationServiceIncomplete)},
      {"voice characteristics",
       [](auto& k) { k.failCharacteristicDiscovery(bluetoothUUID(gatt::voiceService), "GATT error"); }, opened()},
  };
  for (const auto& c : cases) {
    BridgeHarness h;
    auto keyboard = h.addKeyboard();
    c.fault(*keyboard);
    h.startBridge();
    h.openAndSelect();
    const Lines output = h.lines();
    ASSERT_GE(output.size(), 2u);
    EXPECT_EQ(output[output.size() - 2], answer(2)) << c.name << ": no event between";
    EXPECT_EQ(output.back(), c.expected) << c.name;
    const bool failed = c.expected.find("error") != std::string::npos;
    EXPECT_EQ(h.world.connectionsCancelled(), failed ? 1 : 0) << c.name;
    h.send(R"({"id":3,"op":"select","deviceId":")" + keyboardA + "\"}");
    EXPECT_EQ(h.lines(), (Lines{error(3, msg::chooseFromList)})) << c.name;
  }
}

TEST_F(BridgeTest, ServiceChangeDuringSetupStartsSetupOver) {
  auto keyboard = addKeyboard();
  startBridge();
  selectHeld(keyboard);
  keyboard->releaseFirst();  // connected
  loop.runReady();
  keyboard->releaseFirst();  // services: both characteristic discoveries are now outstanding
  loop.runReady();
  keyboard->changeServices({bluetoothUUID(gatt::voiceService)}, sim::morvikProServices(true));
  keyboard->releaseLast();  // the change comes first; the two reports behind it are late
  loop.runReady();
  EXPECT_EQ(lines(), Lines{});
  keyboard->release();
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{opened()}));
  EXPECT_EQ(world.connectionsCancelled(), 0);
}

TEST(LinkSetup, ServiceChangeWhileReady) {
  const struct {
    const char* name;
    std::vector<BluetoothUUID> invalidated;
    bool pendingWrite;
    Lines expected;
  } cases[] = {
      {"configuration service", {bluetoothUUID(gatt::configurationService)}, false, {disconnectedEvent}},
      {"voice service with a write in flight",
       {bluetoothUUID(gatt::voiceService)},
       true,
       {error(3, msg::servicesChanged), disconnectedEvent}},
      {"battery service only", {bluetoothUUID("180F")}, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeHarness h;
    sim::KeyboardSpec spec = keyboardSpec(keyboardA);
    spec.services.push_back(sim::batteryService());
    auto keyboard = h.readyKeyboard(spec);
    if (c.pendingWrite) {
      keyboard->hold();
      h.send(R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})");
    }
    keyboard->changeServices(c.invalidated, spec.services);
    keyboard->releaseLast();  // the change comes before the write's completion
    keyboard->release();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), c.expected);
    EXPECT_EQ(h.world.connectionsCancelled(), c.expected.empty() ? 0 : 1);
  }
}

}  // namespace
}  // namespace morvik::ble
