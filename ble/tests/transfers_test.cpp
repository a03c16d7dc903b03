// Completions of the characteristic operations, and the voice stream.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

// Voice packets and callbacks that are not the read's own leave the read
// pending; the packets are forwarded as they come.
TEST_F(BridgeTest, ReadStaysPendingThroughVoicePacketsAndStrayCallbacks) {
  auto other = addKeyboard(keyboardSpec(keyboardB));
  auto keyboard = readyKeyboard();
  keyboard->setResponseValue(Bytes{42});
  send(R"({"id":5,"op":"voiceEnable","enabled":true})");
  EXPECT_EQ(lines(), (Lines{answer(5)}));
  keyboard->hold();
  send(R"({"id":6,"op":"read"})");
  bridge->didUpdateValueForCharacteristic(other, keyboard->characteristic(bluetoothUUID(gatt::response)), std::nullopt);
  bridge->didWriteValueForCharacteristic(other, keyboard->characteristic(bluetoothUUID(gatt::command)), std::nullopt);
  bridge->didDisconnectPeripheral(other, std::nullopt);
  bridge->didModifyServices(other, {});
  // A voice update with an error, or without a value.
  auto stream = keyboard->characteristic(bluetoothUUID(gatt::voiceStream));
  stream->setValue(Bytes{1});
  bridge->didUpdateValueForCharacteristic(keyboard, stream, "GATT error");
  stream->setValue(std::nullopt);
  bridge->didUpdateValueForCharacteristic(keyboard, stream, std::nullopt);
  // Every byte value, written as the general serialisation writes it.
  Bytes every(256);
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i);
  keyboard->notifyVoice(every);
  keyboard->releaseLast();  // the packet comes before the read completes
  keyboard->release();
  keyboard->notifyVoice({});
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{channel::serialize({{"event", "voice"}, {"data", channel::byteArray(every)}}),
                            R"({"id":6,"result":[42]})", R"({"event":"voice","data":[]})"}));
  // A read of no value at all gives no bytes.
  keyboard->setResponseValue(std::nullopt);
  send(R"({"id":7,"op":"read"})");
  EXPECT_EQ(lines(), (Lines{R"({"id":7,"result":[]})"}));
  send(R"({"id":8,"op":"voiceEnable","enabled":false})");
  EXPECT_EQ(lines(), (Lines{answer(8)}));
  loop.advance(std::chrono::milliseconds(100));
  EXPECT_EQ(lines(), Lines{});
}

}  // namespace
}  // namespace morvik::ble
