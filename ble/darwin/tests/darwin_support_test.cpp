// The parts of the CoreBluetooth layer that need no Mac.
#include <gtest/gtest.h>

#include "ble/darwin/handle_map.h"
#include "ble/darwin/uuid_text.h"
#include "ble/keyboard_gatt.h"

namespace morvik::ble::darwin {
namespace {

TEST(CBUUIDText, ShortFormOnTheBaseUUIDAndFullFormElsewhere) {
  const std::pair<std::string, std::string> cases[] = {
      {"1812", "1812"},
      {"180a", "180A"},
      {"0001180A-0000-1000-8000-00805F9B34FB", "0001180A"},
      {std::string(gatt::configurationService), "7A8E1001-7D3B-4C6A-96A8-3D79199C7E21"},
      {"00001812-0000-1000-8000-00805F9B34FC", "00001812-0000-1000-8000-00805F9B34FC"},
  };
  for (const auto& [uuid, text] : cases) {
    EXPECT_EQ(cbUUIDText(bluetoothUUID(uuid)), text) << uuid;
    // What CoreBluetooth gives back as UUIDString parses to the same UUID.
    EXPECT_EQ(parseBluetoothUUID(text), bluetoothUUID(uuid)) << text;
  }
}

struct Handle {
  int object;
};

TEST(HandleMap, SameObjectSameHandleWhileTheHandleLivesAndDroppedOnesArePruned) {
  HandleMap<Handle> map;
  int a = 1, b = 2;
  int made = 0;
  const auto make = [&](int value) {
    return [&made, value] {
      ++made;
      return std::make_shared<Handle>(Handle{value});
    };
  };
  auto first = map.handleFor(&a, make(1));
  EXPECT_EQ(map.handleFor(&a, make(1)), first);
  auto other = map.handleFor(&b, make(2));
  EXPECT_NE(other, first);
  EXPECT_EQ(made, 2);
  EXPECT_EQ(map.existing(&a), first);
  EXPECT_EQ(map.handleFor(nullptr, make(0)), nullptr);
  first.reset();
  EXPECT_EQ(map.existing(&a), nullptr);
  EXPECT_EQ(map.handleFor(&a, make(1))->object, 1);
  EXPECT_EQ(made, 3) << "a dropped handle is made anew";
  // After a reset the platform gives a new object for the same device: the
  // bridge's handle follows it, and the stale object no longer maps to it.
  int replacement = 3;
  map.rebind(&b, &replacement, other);
  EXPECT_EQ(map.handleFor(&replacement, make(3)), other);
  EXPECT_EQ(map.existing(&b), nullptr);
  EXPECT_EQ(made, 3);
  // Entries of dropped handles do not pile up; the live one stays.
  std::vector<int> objects(10000);
  for (auto& object : objects) map.handleFor(&object, make(0));
  EXPECT_LT(map.size(), 200u);
  EXPECT_EQ(map.existing(&replacement), other);
}

}  // namespace
}  // namespace morvik::ble::darwin
