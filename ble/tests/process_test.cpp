// morvik-ble on the simulated platform at the end of its input (the demo's
// test plays a whole session against it).
#include <gtest/gtest.h>

#include "testsupport/process.h"

namespace morvik::ble {
namespace {

TEST(BleProcess, EndOfInputWhileSearchingExitsAfterAnsweringWhatCame) {
  const auto run = testing::runProcess(MORVIK_BLE_SIM, {},
                                       R"({"id":1,"op":"open"})"
                                       "\n"
                                       R"({"id":2,"op":"open"})"
                                       "\n");
  EXPECT_TRUE(run.output.starts_with(R"({"event":"devices","devices":[]})"
                                     "\n"
                                     R"({"id":2,"error":"蓝牙连接正在使用中"})"
                                     "\n"))
      << run.output;
  EXPECT_EQ(run.exit.status, 0);
}

}  // namespace
}  // namespace morvik::ble
