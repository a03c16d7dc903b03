// morvik-ble on the simulated platform at the end of its input (the demo's
// test plays a whole session against it).
#include <gtest/gtest.h>

#include "channel/json.h"
#include "testsupport/process.h"

namespace morvik::ble {
namespace {

using testing::ChildProcess;
using Lines = std::vector<std::string>;

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
