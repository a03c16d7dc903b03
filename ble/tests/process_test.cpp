// morvik-ble on the simulated platform, as the application drives it.
#include <gtest/gtest.h>

#include "channel/json.h"
#include "testsupport/process.h"

namespace morvik::ble {
namespace {

using testing::ChildProcess;
using Lines = std::vector<std::string>;

const std::string keyboard = "0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405";

// Reads lines until the answer to `id`; voice events on the way are counted.
std::string answerTo(ChildProcess& helper, int id, int* voiceEvents = nullptr) {
  const std::string prefix = "{\"id\":" + std::to_string(id) + ",";
  for (;;) {
    const auto line = helper.readLine();
    if (!line) return "(no answer)";
    if (line->rfind(prefix, 0) == 0) return *line;
    if (line->rfind(R"({"event":"voice")", 0) == 0) {
      if (voiceEvents) ++*voiceEvents;
      continue;
    }
    ADD_FAILURE() << "unexpected line " << *line;
  }
}

TEST(BleProcess, WholeSession) {
  ChildProcess helper(MORVIK_BLE_SIM);
  helper.write(R"({"id":1,"op":"open"})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"event":"devices","devices":[]})");
  EXPECT_EQ(helper.readLine(),
            R"({"event":"devices","devices":[{"deviceId":")" + keyboard + R"(","deviceName":"Morvik Pro"}]})");
  helper.write(R"({"id":2,"op":"select","deviceId":")" + keyboard + "\"}\n");
  EXPECT_EQ(helper.readLine(), R"({"id":2,"result":true})");
  EXPECT_EQ(helper.readLine(), R"({"id":1,"result":{"deviceId":")" + keyboard +
                                   R"(","name":"Morvik Pro","audioSupported":true,"maxChunk":48}})");
  helper.write(R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"id":3,"result":true})");
  helper.write(R"({"id":4,"op":"read"})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"id":4,"result":[1,2,3,4,5,6,7,8]})");
  helper.write(R"({"id":5,"op":"voiceEnable","enabled":true})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"id":5,"result":true})");
  for (int i = 0; i < 3; ++i) {
    const auto voice = helper.readLine();
    ASSERT_TRUE(voice);
    const auto event = channel::parseObject(*voice);
    ASSERT_TRUE(event) << *voice;
    EXPECT_EQ((*event)["event"], "voice");
    EXPECT_EQ(channel::readBytes(*event, "data")->size(), 160u);
  }
  helper.write(R"({"id":6,"op":"voiceEnable","enabled":false})"
               "\n");
  EXPECT_EQ(answerTo(helper, 6), R"({"id":6,"result":true})");
  helper.write(R"({"id":7,"op":"close"})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"id":7,"result":true})");
  helper.closeInput();
  EXPECT_EQ(helper.readAllLines(), Lines{});
  const auto exit = helper.wait();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(helper.errorOutput(), "");
}

TEST(BleProcess, EndOfInputWhileSearchingExitsAfterAnsweringWhatCame) {
  ChildProcess helper(MORVIK_BLE_SIM);
  helper.write(R"({"id":1,"op":"open"})"
               "\n"
               R"({"id":2,"op":"open"})"
               "\n");
  helper.closeInput();
  const Lines lines = helper.readAllLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"event":"devices","devices":[]})");
  EXPECT_EQ(lines[1], R"({"id":2,"error":"蓝牙连接正在使用中"})");
  EXPECT_EQ(helper.wait().status, 0);
}

}  // namespace
}  // namespace morvik::ble
