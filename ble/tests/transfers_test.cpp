// Completions of the characteristic operations, and the voice stream.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

using std::chrono::milliseconds;
namespace msg = message;

TEST_F(BridgeTest, WriteThenReadCarriesTheBytesUnchangedAndNoValueReadsEmpty) {
  auto keyboard = readyKeyboard();
  send(R"({"id":3,"op":"write","data":[1,160,255,0,9,8,7,6]})");
  EXPECT_EQ(lines(), (Lines{answer(3)}));
  EXPECT_EQ(keyboard->writes(), (std::vector<Bytes>{{1, 160, 255, 0, 9, 8, 7, 6}}));
  send(R"({"id":4,"op":"read"})");
  EXPECT_EQ(lines(), (Lines{R"({"id":4,"result":[1,160,255,0,9,8,7,6]})"}));
  for (const std::optional<Bytes>& value : {std::optional<Bytes>(Bytes{}), std::optional<Bytes>()}) {
    keyboard->setResponseValue(value);
    send(R"({"id":4,"op":"read"})");
    EXPECT_EQ(lines(), (Lines{R"({"id":4,"result":[]})"}));
  }
}

TEST_F(BridgeTest, VoicePacketsAreForwardedAsTheyCome) {
  // The microphone's bytes, in packets of 2, two per 20 ms, then silence.
  const std::vector<std::uint8_t> heard = {1, 2, 3, 4, 5, 6};
  auto spec = keyboardSpec(keyboardA);
  spec.microphone = heard;
  spec.voicePacketSize = 2;
  spec.voicePacketsPerInterval = 2;
  auto keyboard = readyKeyboard(spec);
  send(R"({"id":5,"op":"voiceEnable","enabled":true})");
  EXPECT_EQ(lines(), (Lines{answer(5)}));
  // Every byte value, written as the general serialisation writes it.
  Bytes every(256);
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i);
  keyboard->notifyVoice(every);
  keyboard->notifyVoice({});
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{channel::serialize({{"event", "voice"}, {"data", channel::byteArray(every)}}),
                            R"({"event":"voice","data":[]})"}));
  loop.advance(milliseconds(40));
  EXPECT_EQ(lines(), (Lines{R"({"event":"voice","data":[1,2]})", R"({"event":"voice","data":[3,4]})",
                            R"({"event":"voice","data":[5,6]})", R"({"event":"voice","data":[0,0]})"}));
  send(R"({"id":6,"op":"voiceEnable","enabled":false})");
  EXPECT_EQ(lines(), (Lines{answer(6)}));
  loop.advance(milliseconds(100));
  EXPECT_EQ(lines(), Lines{});
}

TEST_F(BridgeTest, VoicePacketsDuringAReadLeaveTheReadPending) {
  auto keyboard = readyKeyboard();
  keyboard->setResponseValue(Bytes{42});
  send(R"({"id":5,"op":"voiceEnable","enabled":true})");
  lines();
  keyboard->hold();
  send(R"({"id":6,"op":"read"})");
  keyboard->notifyVoice({1});
  keyboard->releaseLast();  // the packet comes before the read completes
  keyboard->release();
  keyboard->notifyVoice({2});
  loop.runReady();
  EXPECT_EQ(lines(),
            (Lines{R"({"event":"voice","data":[1]})", R"({"id":6,"result":[42]})", R"({"event":"voice","data":[2]})"}));
}

TEST(Transfers, PlatformErrorsAnswerTheOperation) {
  const struct {
    const char* name;
    std::function<void(sim::SimKeyboard&, BluetoothError)> fault;
    std::string request;
    std::string_view prefix;
  } cases[] = {
      {"write", [](auto& k, auto e) { k.failWrites(e); }, R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})",
       msg::writeFailed},
      {"voice write", [](auto& k, auto e) { k.failWrites(e); }, R"({"id":3,"op":"voiceWrite","data":[1,2]})",
       msg::writeFailed},
      {"read", [](auto& k, auto e) { k.failReads(e); }, R"({"id":3,"op":"read"})", msg::readFailed},
      {"voice enable", [](auto& k, auto e) { k.failNotify(e); }, R"({"id":3,"op":"voiceEnable","enabled":true})",
       msg::subscriptionFailed},
  };
  for (const auto& c : cases) {
    for (const std::string description : {"Writing is not permitted.", ""}) {
      SCOPED_TRACE(std::string(c.name) + " / '" + description + "'");
      BridgeHarness h;
      auto keyboard = h.readyKeyboard();
      c.fault(*keyboard, description);
      h.send(c.request);
      EXPECT_EQ(h.lines(), (Lines{error(3, std::string(c.prefix) + description)}));
      // The link stays up.
      c.fault(*keyboard, std::nullopt);
      h.send(R"({"id":4,"op":"read"})");
      EXPECT_EQ(h.lines().size(), 1u);
    }
  }
}

TEST_F(BridgeTest, CallbacksAboutAnotherPeripheralAndFailedVoiceUpdatesAreIgnored) {
  auto other = addKeyboard(keyboardSpec(keyboardB));
  auto keyboard = readyKeyboard();
  send(R"({"id":5,"op":"voiceEnable","enabled":true})");
  lines();
  keyboard->hold();
  send(R"({"id":3,"op":"read"})");
  bridge->didUpdateValueForCharacteristic(other, keyboard->characteristic(bluetoothUUID(gatt::response)), std::nullopt);
  bridge->didWriteValueForCharacteristic(other, keyboard->characteristic(bluetoothUUID(gatt::command)), std::nullopt);
  bridge->didDisconnectPeripheral(other, std::nullopt);
  bridge->didModifyServices(other, {});
  // A voice update with an error, or without a value.
  auto stream =
      std::dynamic_pointer_cast<sim::SimCharacteristic>(keyboard->characteristic(bluetoothUUID(gatt::voiceStream)));
  stream->setValue(Bytes{1});
  bridge->didUpdateValueForCharacteristic(keyboard, stream, "GATT error");
  stream->setValue(std::nullopt);
  bridge->didUpdateValueForCharacteristic(keyboard, stream, std::nullopt);
  EXPECT_EQ(lines(), Lines{});
  keyboard->release();
  loop.runReady();
  EXPECT_EQ(lines().size(), 1u);
}

}  // namespace
}  // namespace morvik::ble
