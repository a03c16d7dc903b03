#include "ble/central.h"

#include <gtest/gtest.h>

namespace morvik::ble {
namespace {

TEST(BluetoothUUIDText, ShortFormsStandOnTheBaseUUID) {
  EXPECT_EQ(channel::uuidText(bluetoothUUID("1812")), "00001812-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(parseBluetoothUUID("180a"), parseBluetoothUUID("0000180A"));
  EXPECT_EQ(parseBluetoothUUID("0000180A-0000-1000-8000-00805f9b34fb"), bluetoothUUID("180A"));
  for (const char* bad : {"", "18", "18123", "18-2", "xyzw", "7a8e1001-7d3b-4c6a-96a8"})
    EXPECT_EQ(parseBluetoothUUID(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace morvik::ble
