// morvik-ble on Linux against a mock bluetoothd on a private bus: whole
// sessions and every injected fault, checked line by line.
#include <gtest/gtest.h>

#include <array>

#include "ble/linux/bluez_central.h"
#include "ble/linux/device_identifier.h"
#include "ble/linux/tests/bluez_mock.h"
#include "channel/output.h"

namespace morvik::ble::linux {
namespace {

using testing::ChildProcess;
using Lines = std::vector<std::string>;

const std::string adapterAddress = "00:1A:7D:DA:71:13";
const std::string keyboardAddress = "C0:FF:EE:00:00:01";
const std::string adapterPath = "/org/bluez/hci0";
const std::string keyboardPath = adapterPath + "/dev_C0_FF_EE_00_00_01";

std::string keyboardId(const std::string& address = keyboardAddress) {
  return channel::uuidText(deviceIdentifier(adapterAddress, address));
}

std::string listed(const std::vector<std::pair<std::string, std::string>>& devices) {
  channel::Json list = channel::Json::array();
  for (const auto& [id, name] : devices) list.push_back({{"deviceId", id}, {"deviceName", name}});
  return channel::serialize({{"event", "devices"}, {"devices", list}});
}

std::string opened(int id = 1, bool audio = true) {
  return R"({"id":)" + std::to_string(id) + R"(,"result":{"deviceId":")" + keyboardId() +
         R"(","name":"Morvik Pro","audioSupported":)" + (audio ? "true" : "false") + R"(,"maxChunk":48}})";
}
const std::string readyAnswer = opened();
const std::string selected = R"({"id":2,"result":true})";

class BluezSession {
 public:
  explicit BluezSession(BluezMock& mock) : bluez(mock), helper(MORVIK_BLE_LINUX, {}, mock.environment()) {}

  void send(const std::string& line) { helper.write(line + "\n"); }
  // The request, then the answer that comes to it first.
  std::string ask(const std::string& line) {
    send(line);
    return answer();
  }
  std::string select(int id = 2) {
    return ask(R"({"id":)" + std::to_string(id) + R"(,"op":"select","deviceId":")" + keyboardId() + "\"}");
  }
  // The next line that is not a device list or a voice packet.
  std::string answer() {
    for (;;) {
      const auto line = helper.readLine();
      if (!line) return "(nothing)";
      if (line->starts_with(R"({"event":"devices")") || line->starts_with(R"({"event":"voice")")) continue;
      return *line;
    }
  }
  // Reads until the device list `expected` comes; false if it never does.
  bool listsDevices(const std::string& expected) {
    for (int i = 0; i < 10; ++i) {
      const auto line = helper.readLine(std::chrono::seconds(5));
      if (!line) return false;
      if (*line == expected) return true;
    }
    return false;
  }
  // Open: true once the first, empty, device list has come.
  bool search() {
    send(R"({"id":1,"op":"open"})");
    return listsDevices(listed({}));
  }
  // Opens until the search starts; the id of the open that started it, or 0.
  // The helper hears of a change on the bus and of an open on its input in
  // either order: an open it takes first gets the old state's error, and the
  // application would open again.
  int searchOnceHeard() {
    int id = 9;
    std::optional<std::string> line;
    const bool answered = testing::eventually([&] {
      send(R"({"id":)" + std::to_string(++id) + R"(,"op":"open"})");
      line = helper.readLine();
      return !line || !line->starts_with(R"({"id":)" + std::to_string(id) + R"(,"error")");
    });
    return answered && line == listed({}) ? id : 0;
  }
  // Opens, adds the keyboard and waits for it to be listed.
  bool listKeyboard(const std::map<std::string, sdbus::Variant>& options = {}) {
    if (!search()) return false;
    bluez.addKeyboard(adapterPath, keyboardAddress, "Morvik Pro", options);
    return listsDevices(listed({{keyboardId(), "Morvik Pro"}}));
  }
  // Open and select the keyboard; returns the answer to the open.
  std::string connect() {
    if (!listKeyboard()) return "(keyboard not listed)";
    const std::string reply = select();
    return reply == selected ? answer() : reply;
  }
  int finish() {
    helper.closeInput();
    return helper.wait().status;
  }

  BluezMock& bluez;
  ChildProcess helper;
};

// A session with the helper beside a powered adapter.
struct BluezProcess : ::testing::Test {
  BluezMock bluez;
  std::string adapter = bluez.addAdapter();
  BluezSession session{bluez};
};

TEST_F(BluezProcess, WholeSession) {
  EXPECT_EQ(session.connect(), readyAnswer);
  const auto filter = bluez.ask<std::map<std::string, sdbus::Variant>>("DiscoveryFilter", adapter);
  EXPECT_EQ(filter.at("Transport").get<std::string>(), "le");
  EXPECT_EQ(filter.at("DuplicateData").get<bool>(), false);

  EXPECT_EQ(session.ask(R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})"), R"({"id":3,"result":true})");
  EXPECT_EQ(bluez.ask<std::vector<std::string>>("WriteTypes", keyboardPath), std::vector<std::string>{"request"});
  EXPECT_EQ(session.ask(R"({"id":4,"op":"read"})"), R"({"id":4,"result":[1,2,3,4,5,6,7,8]})");
  EXPECT_EQ(session.ask(R"({"id":5,"op":"voiceWrite","data":[7,1]})"), R"({"id":5,"result":true})");
  // bluetoothd's failures answer the operation, and the link stays up.
  const std::array<std::string, 3> failures[] = {
      {"read", R"({"id":3,"op":"read"})", "蓝牙读取失败："},
      {"write", R"({"id":3,"op":"write","data":[1,2,3,4,5,6,7,8]})", "蓝牙写入失败："},
      {"notify", R"({"id":3,"op":"voiceEnable","enabled":true})", "音频订阅失败："},
  };
  for (const auto& [operation, request, prefix] : failures) {
    bluez.mock("Fail", keyboardPath, operation, std::string("Operation failed"));
    EXPECT_EQ(session.ask(request), R"({"id":3,"error":")" + prefix + "Operation failed\"}") << operation;
    bluez.mock("Fail", keyboardPath, operation, std::string());
  }

  session.send(R"({"id":6,"op":"voiceEnable","enabled":true})");
  EXPECT_EQ(session.helper.readLine(), R"({"id":6,"result":true})");
  for (int sequence = 0; sequence < 3; ++sequence) {
    // The mock's packets: the sequence number in two bytes, then counting on from it.
    std::string data = "0," + std::to_string(sequence);
    for (int i = 2; i < 20; ++i) data += "," + std::to_string(sequence + i);
    EXPECT_EQ(session.helper.readLine(), R"({"event":"voice","data":[)" + data + "]}");
  }
  EXPECT_EQ(session.ask(R"({"id":7,"op":"voiceEnable","enabled":false})"), R"({"id":7,"result":true})");
  EXPECT_EQ(session.ask(R"({"id":8,"op":"close"})"), R"({"id":8,"result":true})");
  // A select right after close connects once our own disconnection is done.
  session.send(R"({"id":1,"op":"open","preferred":")" + keyboardId() + "\"}");
  ASSERT_TRUE(session.listsDevices(listed({{keyboardId(), "Morvik Pro"}})));
  EXPECT_EQ(session.select(), selected);
  EXPECT_EQ(session.answer(), readyAnswer);
  EXPECT_EQ(bluez.linkState(keyboardPath).disconnectCalls, 1u);
  EXPECT_EQ(session.finish(), 0);
  EXPECT_EQ(session.helper.errorOutput(), "");
}

// These build a bus of their own: one per case, or with keyboards known
// before the helper starts.
TEST(BluezOwnBus, NoAdapterOrAccessDenied) {
  const std::pair<BluezMock::Options, std::string> cases[] = {
      {{}, "这台电脑不支持低功耗蓝牙"},
      {{.denyObjectManager = true}, "请在系统设置 → 隐私与安全性 → 蓝牙中允许 Morvik Studio"},
  };
  for (const auto& [options, expected] : cases) {
    SCOPED_TRACE(expected);
    BluezMock bluez(options);
    BluezSession session(bluez);
    session.send(R"({"id":1,"op":"open"})");
    EXPECT_EQ(session.answer(), R"({"id":1,"error":")" + expected + "\"}");
    EXPECT_EQ(session.finish(), 0);
  }
}

// No bluetoothd, then one with an adapter that is switched off and on, then
// bluetoothd stopped for good: each answers the open pending.
TEST(BluezOwnBus, BluetoothdAndAdapterComingAndGoing) {
  BluezMock bluez({.startService = false});
  BluezSession session(bluez);
  session.send(R"({"id":1,"op":"open"})");
  EXPECT_EQ(session.answer(), R"({"id":1,"error":"这台电脑不支持低功耗蓝牙"})");
  bluez.startService();
  const auto adapter = bluez.addAdapter();
  int id = session.searchOnceHeard();
  ASSERT_NE(id, 0);
  bluez.mock("SetPowered", adapter, false);
  EXPECT_EQ(session.answer(), R"({"id":)" + std::to_string(id) + R"(,"error":"电脑蓝牙已关闭，请先打开蓝牙"})");
  bluez.mock("SetPowered", adapter, true);
  id = session.searchOnceHeard();
  ASSERT_NE(id, 0);
  bluez.stopService();
  EXPECT_EQ(session.answer(), R"({"id":)" + std::to_string(id) + R"(,"error":"这台电脑不支持低功耗蓝牙"})");
}

// A hung bluetoothd restarted (by its watchdog) before it listed anything.
TEST(BluezOwnBus, BluetoothdRestartedBeforeItAnsweredIsWaitedFor) {
  BluezMock bluez;
  bluez.mock("StallObjectManager", true);
  BluezSession session(bluez);
  ASSERT_TRUE(testing::eventually([&] { return bluez.ask<std::uint32_t>("StallObjectManager", true) == 1; }));
  session.send(R"({"id":1,"op":"open"})");
  bluez.stopService();
  bluez.startService();
  bluez.addAdapter();
  EXPECT_TRUE(session.listsDevices(listed({})));
}

// Connect refused, bluetoothd gone while it still paged the keyboard, or
// the link up but lost before its services resolved.
TEST(BluezOwnBus, LinkThatNeverBecameReady) {
  enum Fault { refused, daemonGone, lostBeforeResolved };
  for (const Fault fault : {refused, daemonGone, lostBeforeResolved}) {
    SCOPED_TRACE(fault);
    BluezMock bluez;
    bluez.addAdapter();
    BluezSession session(bluez);
    ASSERT_TRUE(session.listKeyboard(
        {{"paging", sdbus::Variant(fault == daemonGone)}, {"resolve", sdbus::Variant(fault != lostBeforeResolved)}}));
    if (fault == refused) bluez.mock("Fail", keyboardPath, std::string("connect"), std::string("Page Timeout"));
    EXPECT_EQ(session.select(), selected);
    if (fault == daemonGone) bluez.stopService();
    if (fault == lostBeforeResolved) {
      // Connect has succeeded: the link was up.
      ASSERT_TRUE(testing::eventually([&] { return bluez.linkState(keyboardPath).connected; }));
      bluez.mock("LoseLink", keyboardPath);
      EXPECT_EQ(session.answer(), R"({"id":1,"error":"蓝牙键盘已断开"})");
      EXPECT_EQ(session.answer(), R"({"event":"disconnected"})");
    } else {
      EXPECT_EQ(session.answer(), R"({"id":1,"error":"无法连接蓝牙键盘，请检查供电和距离"})");
    }
    EXPECT_EQ(session.ask(R"({"id":3,"op":"close"})"), R"({"id":3,"result":true})") << "nothing else before it";
  }
}

TEST(BluezOwnBus, LinkLossAndServiceChangesAnswerThePendingRead) {
  const struct {
    const char* name;
    std::function<void(BluezMock&)> fault;
    std::string readAnswer;
  } cases[] = {
      // Services unresolved, the read failed, GATT objects removed, then Connected false.
      {"link lost", [](BluezMock& b) { b.mock("LoseLink", keyboardPath); }, R"({"id":3,"error":"蓝牙键盘已断开"})"},
      {"keyboard removed", [](BluezMock& b) { b.mock("RemoveKeyboard", keyboardPath); },
       R"({"id":3,"error":"蓝牙键盘已断开"})"},
      {"voice service removed from the live link",
       [](BluezMock& b) { b.mock("RemoveService", keyboardPath, std::string("voice")); },
       R"({"id":3,"error":"键盘服务已更新，正在重新连接"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BluezMock bluez;
    bluez.addAdapter();
    BluezSession session(bluez);
    ASSERT_EQ(session.connect(), readyAnswer);
    bluez.mock("HoldRequests", keyboardPath, true);
    session.send(R"({"id":3,"op":"read"})");
    ASSERT_TRUE(testing::eventually([&] { return bluez.ask<std::uint32_t>("HoldRequests", keyboardPath, true) == 1; }));
    c.fault(bluez);
    EXPECT_EQ(session.helper.readLine(), c.readAnswer);
    EXPECT_EQ(session.helper.readLine(), R"({"event":"disconnected"})");
    EXPECT_EQ(session.ask(R"({"id":4,"op":"read"})"), R"({"id":4,"error":"蓝牙配置连接尚未就绪"})");
  }
}

// bluetoothd restarted, then the whole bus gone, under a ready link: each is
// a lost link, never a crash.
TEST_F(BluezProcess, BluetoothdRestartAndBusLossDropTheLink) {
  ASSERT_EQ(session.connect(), readyAnswer);
  bluez.stopService();
  EXPECT_EQ(session.helper.readLine(), R"({"event":"disconnected"})");
  // Resetting: the open waits for the adapter instead of failing.
  session.send(R"({"id":3,"op":"open","preferred":")" + keyboardId() + "\"}");
  bluez.startService();
  bluez.addKeyboard(bluez.addAdapter(), keyboardAddress, "Morvik Pro");
  EXPECT_TRUE(session.listsDevices(listed({{keyboardId(), "Morvik Pro"}})));
  EXPECT_EQ(session.select(4), R"({"id":4,"result":true})");
  EXPECT_EQ(session.answer(), opened(3));
  bluez.stopBus();
  EXPECT_EQ(session.helper.readLine(), R"({"event":"disconnected"})");
  EXPECT_EQ(session.ask(R"({"id":5,"op":"close"})"), R"({"id":5,"result":true})");
  session.send(R"({"id":6,"op":"open"})");
  EXPECT_EQ(session.answer(), R"({"id":6,"error":"这台电脑不支持低功耗蓝牙"})");
  EXPECT_EQ(session.finish(), 0);
  EXPECT_EQ(session.helper.errorOutput(), "");
}

// The system's keyboard is listed at once; a paired one that bluetoothd
// lists with its UUIDs while not connected only when preferred. Closing
// leaves the system's link up, round after round.
TEST(BluezOwnBus, SystemsKeyboardListedAtOnceAndLeftConnected) {
  BluezMock bluez;
  const auto adapter = bluez.addAdapter();
  bluez.addKeyboard(adapter, keyboardAddress, "Morvik Pro", {{"system", sdbus::Variant(true)}});
  const auto paired = keyboardId("C0:FF:EE:00:00:02");
  bluez.addKeyboard(adapter, "C0:FF:EE:00:00:02", "Morvik Pro P", {{"paired", sdbus::Variant(true)}});
  BluezSession session(bluez);
  const std::pair<std::string, std::string> rounds[] = {
      {R"({"id":1,"op":"open"})", listed({{keyboardId(), "Morvik Pro"}})},
      {R"({"id":1,"op":"open","preferred":")" + paired + "\"}",
       listed({{paired, "Morvik Pro P"}, {keyboardId(), "Morvik Pro"}})},
  };
  for (const auto& [open, list] : rounds) {
    SCOPED_TRACE(open);
    session.send(open);
    ASSERT_TRUE(session.listsDevices(list));
    EXPECT_EQ(session.select(), selected);
    EXPECT_EQ(session.answer(), readyAnswer);
    EXPECT_EQ(session.ask(R"({"id":3,"op":"voiceEnable","enabled":true})"), R"({"id":3,"result":true})");
    EXPECT_EQ(session.ask(R"({"id":4,"op":"close"})"), R"({"id":4,"result":true})");
    EXPECT_TRUE(testing::eventually([&] { return !bluez.linkState(keyboardPath).voiceNotifying; }));
    const auto state = bluez.linkState(keyboardPath);
    EXPECT_EQ(state.disconnectCalls, 0u);
    EXPECT_TRUE(state.connected);
  }
}

TEST_F(BluezProcess, AnotherProgramsDiscoveryIsNotOurs) {
  ASSERT_TRUE(session.search());
  EXPECT_EQ(session.ask(R"({"id":2,"op":"close"})"), R"({"id":1,"error":"蓝牙连接已取消"})");
  EXPECT_EQ(session.answer(), R"({"id":2,"result":true})");
  // The adapter is discovering, but for another program that may stop at any time.
  bluez.otherClientDiscovery(adapter, true);
  ASSERT_TRUE(session.search());
  EXPECT_TRUE(testing::eventually([&] { return bluez.ask<std::uint32_t>("DiscoveryClients", adapter) == 2; }));
  bluez.otherClientDiscovery(adapter, false);
  const auto keyboard = bluez.addKeyboard(adapter, "C0:FF:EE:00:00:02", "Morvik Pro");
  bluez.mock("Advertise", keyboard);
  EXPECT_TRUE(session.listsDevices(listed({{keyboardId("C0:FF:EE:00:00:02"), "Morvik Pro"}})));
  // An open just before the end of input is answered before the helper exits.
  session.send(R"({"id":3,"op":"open"})");
  EXPECT_EQ(session.finish(), 0);
  EXPECT_EQ(session.answer(), R"({"id":3,"error":"蓝牙连接正在使用中"})");
}

TEST_F(BluezProcess, ServiceChangesThatLeaveTheLinkUp) {
  ASSERT_TRUE(session.listKeyboard({{"battery", sdbus::Variant(true)}}));
  // The voice service goes away while the link is being set up: the link
  // comes up without audio.
  bluez.mock("RemoveServiceWhileConnecting", keyboardPath, std::string("voice"));
  EXPECT_EQ(session.select(), selected);
  EXPECT_EQ(session.answer(), opened(1, false));
  bluez.mock("RemoveService", keyboardPath, std::string("battery"));  // not ours
  EXPECT_EQ(session.ask(R"({"id":3,"op":"read"})"), R"({"id":3,"result":[]})");
}

class StateDelegate final : public CentralManagerDelegate {
 public:
  void centralManagerDidUpdateState() override {}
  void didDiscoverPeripheral(const std::shared_ptr<Peripheral>&, const AdvertisementData&, int) override {}
  void didConnectPeripheral(const std::shared_ptr<Peripheral>&) override {}
  void didFailToConnectPeripheral(const std::shared_ptr<Peripheral>&, const BluetoothError&) override {}
  void didDisconnectPeripheral(const std::shared_ptr<Peripheral>&, const BluetoothError&) override {}
};

// The BlueZ layer itself on the mock, with a keyboard beside the adapter.
struct BluezLayer : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(runUntil([&] { return central.state() == CentralState::poweredOn; }));
  }
  bool runUntil(const std::function<bool()>& done) {
    return testing::eventually([&] {
      loop.context().restart();
      loop.context().run_for(std::chrono::milliseconds(10));
      return done();
    });
  }

  BluezMock bluez;
  std::string keyboard = bluez.addKeyboard(bluez.addAdapter(), keyboardAddress, "Morvik Pro");
  channel::AsioLoop loop;
  StateDelegate delegate;
  BluezCentral central{delegate, loop, sdbus::createSessionBusConnectionWithAddress(bluez.address())};
};

// Calls sent after the bus broke but before the helper heard of it: sending
// fails at once, and each failure still reaches the call's reply handler.
TEST_F(BluezLayer, CallsOnABusThatJustBrokeFailToTheirHandlers) {
  bluez.stopBus();
  central.scanForPeripherals();
  EXPECT_TRUE(runUntil([&] { return central.state() == CentralState::unsupported; }));
  EXPECT_FALSE(central.isScanning());
}

// bluetoothd unresolves the services of a lost link, then removes them,
// then reports Connected false: the removals belong to the loss, so none of
// them is held back as a change of services that a quick reconnection of
// the same keyboard would then hear of.
TEST_F(BluezLayer, ServicesRemovedWithALostLinkAreNoServiceChange) {
  const auto found = central.retrievePeripherals({deviceIdentifier(adapterAddress, keyboardAddress)});
  ASSERT_EQ(found.size(), 1u);
  const auto device = std::dynamic_pointer_cast<BluezPeripheral>(found.front());
  central.connect(device);
  ASSERT_TRUE(runUntil([&] { return device->state() == PeripheralState::connected; }));
  bluez.mock("LoseLink", keyboard);
  ASSERT_TRUE(runUntil([&] { return device->state() == PeripheralState::disconnected; }));
  EXPECT_FALSE(device->serviceChange_);
  EXPECT_TRUE(device->invalidated_.empty());
}

TEST(DeviceIdentifier, IsStableAndTiedToBothAddresses) {
  // Fixed for good: the application remembers keyboards by this identifier.
  // (Python's uuid.uuid5 gives the same for this namespace and name.)
  EXPECT_EQ(channel::uuidText(deviceIdentifier("00:1A:7D:DA:71:13", "C0:FF:EE:00:00:01")),
            "77B16D1B-D4A4-5690-8247-429079ADC57E");
  EXPECT_EQ(deviceIdentifier("00:1a:7d:da:71:13", "c0:ff:ee:00:00:01"),
            deviceIdentifier(adapterAddress, keyboardAddress));
  EXPECT_NE(deviceIdentifier("00:1A:7D:DA:71:14", keyboardAddress), deviceIdentifier(adapterAddress, keyboardAddress));
}

}  // namespace
}  // namespace morvik::ble::linux
