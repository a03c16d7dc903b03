// Request validation, the state table and the answers of the bridge.
#include "ble/tests/bridge_fixture.h"

namespace morvik::ble {
namespace {

namespace msg = message;

// Each state of the link, and what every request gets there.
enum class LinkState { idle, searching, settingUp, ready, busy };

struct StateHarness : BridgeHarness {
  explicit StateHarness(LinkState state) {
    keyboard = addKeyboard();
    startBridge();
    if (state == LinkState::searching) send(R"({"id":1,"op":"open"})");
    if (state >= LinkState::settingUp) openAndSelect(state == LinkState::settingUp ? keyboard.get() : nullptr);
    if (state == LinkState::busy) {
      keyboard->hold();
      send(R"({"id":3,"op":"read"})");
    }
    lines();
  }
  std::shared_ptr<sim::SimKeyboard> keyboard;
};

TEST(StateTable, RejectsWhatTheStateDoesNotAllow) {
  const std::string select = R"({"id":9,"op":"select","deviceId":")" + keyboardA + "\"}";
  const std::string read = R"({"id":9,"op":"read"})";
  const std::string voiceWrite = R"({"id":9,"op":"voiceWrite","data":[1,2]})";
  const std::string open = R"({"id":9,"op":"open"})";
  const struct {
    LinkState state;
    std::string request;
    Lines expected;  // what comes at once
  } cases[] = {
      {LinkState::idle, R"({"op":"open"})", {}},  // without a usable id or op: ignored
      {LinkState::idle, R"({"id":"1","op":"close"})", {}},
      {LinkState::idle, R"({"id":1})", {}},
      {LinkState::idle, R"({"id":1,"op":null})", {}},
      {LinkState::idle, R"({"id":9,"op":"Open"})", {error(9, msg::unsupportedOperation)}},  // names are case-sensitive
      {LinkState::busy, R"({"id":9,"op":"voiceenable"})", {error(9, msg::unsupportedOperation)}},
      {LinkState::idle, select, {error(9, msg::chooseFromList)}},
      {LinkState::idle, read, {error(9, msg::configurationNotReady)}},
      {LinkState::idle, voiceWrite, {error(9, msg::upgradeForMicrophone)}},
      {LinkState::searching, open, {error(9, msg::connectionInUse)}},
      {LinkState::searching, select, {answer(9)}},
      {LinkState::settingUp, select, {error(9, msg::chooseFromList)}},
      {LinkState::ready, open, {error(9, msg::connectionInUse)}},
      {LinkState::busy, read, {error(9, msg::configurationNotReady)}},
      {LinkState::busy, R"({"id":9,"op":"write","data":[1,2,3,4,5,6,7,8]})", {error(9, msg::configurationNotReady)}},
      {LinkState::busy, R"({"id":9,"op":"voiceEnable","enabled":true})", {error(9, msg::upgradeForMicrophone)}},
      {LinkState::busy, voiceWrite, {error(9, msg::upgradeForMicrophone)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + " in state " + std::to_string(static_cast<int>(c.state)));
    StateHarness h(c.state);
    h.keyboard->hold();
    h.send(c.request);
    EXPECT_EQ(h.lines(), c.expected);
  }
}

TEST(StateTable, CloseIsAcceptedInEveryStateAndAnswersWhatIsPending) {
  const std::pair<LinkState, Lines> cases[] = {
      {LinkState::idle, {answer(9)}},
      {LinkState::searching, {error(1, msg::cancelled), answer(9)}},
      {LinkState::settingUp, {error(1, msg::cancelled), answer(9)}},
      {LinkState::ready, {answer(9)}},
      {LinkState::busy, {error(3, msg::cancelled), answer(9)}},
  };
  for (const auto& [state, expected] : cases) {
    SCOPED_TRACE(static_cast<int>(state));
    StateHarness h(state);
    h.send(R"({"id":9,"op":"close"})");
    EXPECT_EQ(h.lines(), expected);
    // Whatever the platform still reports about the link is ignored, and the search has stopped.
    h.keyboard->release();
    h.loop.advance(std::chrono::seconds(10));
    EXPECT_EQ(h.lines(), Lines{});
    EXPECT_FALSE(h.world.scanning());
  }
}

TEST_F(BridgeTest, SelectTakesEitherCaseAndRejectsUnlistedKeyboards) {
  addKeyboard();
  startBridge();
  send(R"({"id":1,"op":"open"})");
  lines();
  for (const std::string& request :
       {R"({"id":2,"op":"select","deviceId":")" + keyboardB + "\"}",
        std::string(R"({"id":2,"op":"select","deviceId":"not-a-uuid"})"), std::string(R"({"id":2,"op":"select"})")}) {
    send(request);
    EXPECT_EQ(lines(), (Lines{error(2, msg::chooseFromList)})) << request;
  }
  // The search goes on after a rejected select.
  loop.advance(std::chrono::seconds(3));
  EXPECT_EQ(lines(), (Lines{devicesEvent({{keyboardA, "Morvik Pro"}})}));
  send(R"({"id":3,"op":"select","deviceId":"0f6c2e3a-5b1d-4e8f-9a27-c4d1b2e3f405"})");  // keyboard A in lower case
  EXPECT_EQ(lines().at(0), answer(3));
}

TEST(Requests, WriteTakesEightBytesUpToTheWriteLimitAndNeverAbove56) {
  const auto frame = [](int length) {
    std::string data = "1";
    for (int i = 1; i < length; ++i) data += ",1";
    return R"({"id":4,"op":"write","data":[)" + data + "]}";
  };
  const struct {
    std::size_t writeLength;
    std::vector<std::string> accepted, rejected;
  } cases[] = {
      {20, {frame(8), frame(20)}, {frame(7), frame(21), R"({"id":4,"op":"write"})"}},
      {512, {frame(56)}, {frame(57)}},
  };
  for (const auto& c : cases) {
    BridgeHarness h;
    sim::KeyboardSpec spec = keyboardSpec(keyboardA);
    spec.maximumWriteLength = c.writeLength;
    auto keyboard = h.readyKeyboard(spec);
    for (const auto& bad : c.rejected) {
      h.send(bad);
      EXPECT_EQ(h.lines(), (Lines{error(4, msg::invalidConfigurationData)})) << bad;
    }
    EXPECT_TRUE(keyboard->writes().empty());
    for (const auto& good : c.accepted) {
      h.send(good);
      EXPECT_EQ(h.lines(), (Lines{answer(4)})) << good;
    }
  }
}

TEST_F(BridgeTest, VoiceWriteTakesTwoOrSixBytes) {
  auto keyboard = readyKeyboard();
  for (int length = 0; length <= 7; ++length) {
    std::string data;
    for (int i = 0; i < length; ++i) data += (i ? ",9" : "9");
    send(R"({"id":5,"op":"voiceWrite","data":[)" + data + "]}");
    const bool valid = length == 2 || length == 6;
    EXPECT_EQ(lines(), (Lines{valid ? answer(5) : error(5, msg::invalidAudioControl)})) << length;
  }
  EXPECT_EQ(keyboard->writes(), (std::vector<Bytes>{{9, 9}, {9, 9, 9, 9, 9, 9}}));
}

TEST_F(BridgeTest, VoiceEnableNeedsABooleanAndAnswersAnUnchangedStateAtOnce) {
  auto keyboard = readyKeyboard();
  for (const char* bad : {R"({"id":6,"op":"voiceEnable"})", R"({"id":6,"op":"voiceEnable","enabled":"true"})"}) {
    send(bad);
    EXPECT_EQ(lines(), (Lines{error(6, msg::invalidAudioSubscription)})) << bad;
  }
  keyboard->hold();
  send(R"({"id":7,"op":"voiceEnable","enabled":false})");
  EXPECT_EQ(lines(), (Lines{answer(7)}));
  EXPECT_EQ(keyboard->heldCallbacks(), 0u) << "nothing was sent to the keyboard";
  send(R"({"id":8,"op":"voiceEnable","enabled":true})");
  EXPECT_EQ(lines(), Lines{});
  keyboard->release();
  loop.runReady();
  EXPECT_EQ(lines(), (Lines{answer(8)}));
  send(R"({"id":9,"op":"voiceEnable","enabled":true})");
  EXPECT_EQ(lines(), (Lines{answer(9)}));
}

}  // namespace
}  // namespace morvik::ble
