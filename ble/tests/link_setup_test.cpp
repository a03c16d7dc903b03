// From the connection to the answer of the open request.
#include <algorithm>

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

// What open + select of keyboard A write after the device lists and the
// select answer, once setup has run.
Lines setUp(BridgeHarness& h) {
  h.startBridge();
  h.openAndSelect();
  const Lines output = h.lines();
  const auto selected = std::find(output.begin(), output.end(), answer(2));
  return selected == output.end() ? output : Lines(selected + 1, output.end());
}

Lines setUp(sim::KeyboardSpec spec) {
  BridgeHarness h;
  h.addKeyboard(std::move(spec));
  return setUp(h);
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

// After the connection and the services, the two characteristic reports are
// held: they come in either order, or behind a change of the voice service
// that starts the setup over (the two reports behind it are then late).
TEST(LinkSetup, AnswersOpenOnceBothServicesAreSetUp) {
  enum Order { configurationFirst, voiceFirst, serviceChangeFirst };
  for (const Order order : {configurationFirst, voiceFirst, serviceChangeFirst}) {
    SCOPED_TRACE(order);
    BridgeHarness h;
    auto keyboard = h.addKeyboard();
    h.startBridge();
    h.openAndSelect(keyboard.get());
    h.lines();
    keyboard->releaseFirst();  // connected
    h.loop.runReady();
    keyboard->releaseFirst();  // services
    h.loop.runReady();
    ASSERT_EQ(keyboard->heldCallbacks(), 2u);
    if (order == serviceChangeFirst)
      keyboard->changeServices({bluetoothUUID(gatt::voiceService)}, sim::morvikProServices(true));
    order == configurationFirst ? keyboard->releaseFirst() : keyboard->releaseLast();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), Lines{});
    keyboard->release();
    h.loop.runReady();
    EXPECT_EQ(h.lines(), (Lines{opened()}));
    EXPECT_EQ(h.world.connectionsCancelled(), 0);
  }
}

TEST(LinkSetup, ResultDependsOnTheLayout) {
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
       {configurationService(property::write, property::notify)},
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

TEST(LinkSetup, MaxChunkFollowsTheWriteLength) {
  const std::pair<std::size_t, int> cases[] = {{20, 12},  {23, 15},  {30, 22}, {56, 48},
                                               {185, 48}, {512, 48}, {10, 12}, {0, 12}};
  for (const auto& [length, maxChunk] : cases) {
    // Nameless but for its advertisement: the answer names it "Morvik Pro".
    sim::KeyboardSpec spec = keyboardSpec(keyboardA, std::nullopt);
    spec.advertisedName = "Morvik Pro X";
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
    c.fault(*h.addKeyboard());
    EXPECT_EQ(setUp(h), Lines{c.expected}) << c.name << ": nothing else after the select answer";
    const bool failed = c.expected.find("error") != std::string::npos;
    EXPECT_EQ(h.world.connectionsCancelled(), failed ? 1 : 0) << c.name;
    h.send(R"({"id":3,"op":"select","deviceId":")" + keyboardA + "\"}");
    EXPECT_EQ(h.lines(), (Lines{error(3, msg::chooseFromList)})) << c.name;
  }
}

}  // namespace
}  // namespace morvik::ble
