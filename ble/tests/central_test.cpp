#include "ble/central.h"

#include <gtest/gtest.h>

namespace morvik::ble {
namespace {

// The forms accepted are checked by CBUUIDText, which parses its texts back.
TEST(BluetoothUUIDText, OnlyFourOrEightDigitsOrTheFullForm) {
  for (const char* bad : {"", "18", "18123", "18-2", "xyzw", "7a8e1001-7d3b-4c6a-96a8"})
    EXPECT_EQ(parseBluetoothUUID(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace morvik::ble
