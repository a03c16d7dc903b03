// The snapshot, the text focus and window safety against the simulated desktop.
#include "context/snapshot.h"

#include <gtest/gtest.h>

#include "channel/manual_loop.h"
#include "channel/output.h"
#include "context/sim/sim_desktop.h"

namespace morvik::context {
namespace {

using sim::SimElement;
using std::chrono::milliseconds;

struct Desktop {
  Desktop() {
    app = desktop.addApplication({812, "com.apple.TextEdit", "TextEdit"});
    window = std::make_shared<SimElement>(4711);
    window->set("AXTitle", "Notes.txt");
    focused = std::make_shared<SimElement>();
    focused->set("AXRole", "AXTextArea").settableAttribute("AXValue", {axSuccess, true});
    app->set("AXFocusedWindow", ElementRef(window)).set("AXFocusedUIElement", ElementRef(focused));
    desktop.spend = [this](channel::Duration span) { loop.stall(span); };
  }
  channel::Json take() { return snapshot({desktop, desktop, loop}); }

  channel::ManualLoop loop;
  sim::SimDesktop desktop;
  std::shared_ptr<SimElement> app, window, focused;
};

TEST(Snapshot, WholeObjectWithAndWithoutPermission) {
  Desktop d;
  d.desktop.counters = {{EventType::keyDown, 7}, {EventType::leftMouseUp, 2}, {EventType::leftMouseDragged, 1}};
  EXPECT_EQ(d.take().dump(),
            R"({"hasWindow":true,"textFocus":true,"activity":{"source":"mac-session","keys":7,"clicks":2,"drags":1},)"
            R"("processId":812,"id":"com.apple.TextEdit","app":"TextEdit","title":"Notes.txt","url":"",)"
            R"("pageAccess":true,"windowId":"812:4711","safeToSave":true})");
  d.desktop.trusted = false;
  EXPECT_EQ(d.take().dump(),
            R"({"hasWindow":null,"textFocus":null,"activity":{"source":"mac-session","keys":7,"clicks":2,"drags":1},)"
            R"("processId":812,"id":"com.apple.TextEdit","app":"TextEdit","title":"","url":"",)"
            R"("pageAccess":false,"windowId":"","safeToSave":false})");
}

TEST(Snapshot, FocusedWindowReads) {
  const struct {
    const char* name;
    std::function<void(Desktop&)> script;
    channel::Json hasWindow;
    bool safeToSave;
  } cases[] = {
      {"no focused window", [](Desktop& d) { d.app->fail("AXFocusedWindow", axNoValue); }, false, false},
      {"not an element", [](Desktop& d) { d.app->set("AXFocusedWindow", std::string("x")); }, nullptr, false},
      {"a sheet open",
       [](Desktop& d) { d.window->set("AXSheets", std::vector<ElementRef>{std::make_shared<SimElement>()}); }, true,
       false},
      {"no sheets", [](Desktop& d) { d.window->set("AXSheets", std::vector<ElementRef>{}); }, true, true},
      {"a dialog", [](Desktop& d) { d.window->set("AXSubrole", std::string("AXDialog")); }, true, false},
      {"modal", [](Desktop& d) { d.window->set("AXModal", true); }, true, false},
      {"not modal", [](Desktop& d) { d.window->set("AXModal", false); }, true, true},
      {"modal unsupported", [](Desktop& d) { d.window->fail("AXModal", axAttributeUnsupported); }, true, true},
      {"modal read timed out", [](Desktop& d) { d.window->fail("AXModal", axCannotComplete); }, true, false},
      {"modal not a Boolean", [](Desktop& d) { d.window->set("AXModal", std::string("yes")); }, true, true},
  };
  for (const auto& c : cases) {
    Desktop d;
    c.script(d);
    const auto snapshot = d.take();
    EXPECT_EQ(snapshot["hasWindow"], c.hasWindow) << c.name;
    EXPECT_EQ(snapshot["safeToSave"], c.safeToSave) << c.name;
    const bool window = c.hasWindow == true;
    EXPECT_EQ(snapshot["windowId"], window ? "812:4711" : "") << c.name;
    EXPECT_EQ(snapshot["title"], window ? "Notes.txt" : "") << c.name;
  }
}

TEST(Snapshot, TitleAndNameAreCutByUserPerceivedCharacters) {
  Desktop d;
  const std::string accented = "e\xCC\x81";
  std::string title, name;
  for (int i = 0; i < 600; ++i) title += accented;
  for (int i = 0; i < 300; ++i) name += "键";
  d.window->set("AXTitle", title);
  d.desktop.front->localizedName = name;
  const auto snapshot = d.take();
  EXPECT_EQ(snapshot["title"].get<std::string>().size(), 512u * accented.size());
  EXPECT_EQ(snapshot["app"].get<std::string>().size(), 256u * 3);
  d.window->set("AXTitle", OtherValue{});
  EXPECT_EQ(d.take()["title"], "") << "a title that is no string";
}

TEST(Snapshot, BrowsersByIdentifierInAnyLetterCase) {
  Desktop d;
  d.desktop.front->bundleIdentifier = "COM.Google.Chrome";
  auto web = std::make_shared<SimElement>();
  web->set("AXRole", "AXWebArea").set("AXURL", URL{"https://example.com/b?c"}).readCost = milliseconds(20);
  d.window->children({web});
  const auto snapshot = d.take();
  EXPECT_EQ(snapshot["url"], "https://example.com/b");
  EXPECT_EQ(snapshot["id"], "COM.Google.Chrome");
  // Another application's window is not searched: its slow tree costs nothing.
  d.desktop.front->bundleIdentifier = "com.apple.TextEdit";
  const auto before = d.loop.now();
  EXPECT_EQ(d.take()["url"], "");
  EXPECT_EQ(d.loop.now(), before);
}

// The desktop changing or failing in the middle of a snapshot: the fields
// fall back to their defaults, a window that could not be asked is not safe
// to save in, and the snapshot costs no more than its timeouts.
TEST(Snapshot, DesktopFaults) {
  const struct {
    const char* name;
    std::function<void(Desktop&)> script;
    channel::Json hasWindow, textFocus;
    bool safeToSave;
    std::string title;
    milliseconds longest;
  } cases[] = {
      {"application not answering", [](Desktop& d) { d.app->hung = true; }, nullptr, nullptr, false, "",
       milliseconds(240)},
      {"bus stalled", [](Desktop& d) { d.desktop.bus = sim::Bus::stalled; }, nullptr, nullptr, false, "",
       milliseconds(240)},
      {"bus lost", [](Desktop& d) { d.desktop.bus = sim::Bus::lost; }, nullptr, nullptr, false, "", milliseconds(0)},
      {"application stops answering once it named its window",
       [](Desktop& d) { d.app->after("AXFocusedWindow", [&d] { d.app->hung = d.window->hung = true; }); }, true, true,
       false, "", milliseconds(240)},
      {"window closed between two reads",
       [](Desktop& d) { d.app->after("AXFocusedWindow", [&d] { d.window->gone = true; }); }, true, true, false, "",
       milliseconds(0)},
      {"focused element stops answering after its role",
       [](Desktop& d) { d.focused->after("AXRole", [&d] { d.focused->hung = true; }); }, true, nullptr, true,
       "Notes.txt", milliseconds(200)},
  };
  for (const auto& c : cases) {
    Desktop d;
    c.script(d);
    const auto start = d.loop.now();
    const auto snapshot = d.take();
    EXPECT_EQ(snapshot["hasWindow"], c.hasWindow) << c.name;
    EXPECT_EQ(snapshot["textFocus"], c.textFocus) << c.name;
    EXPECT_EQ(snapshot["safeToSave"], c.safeToSave) << c.name;
    EXPECT_EQ(snapshot["title"], c.title) << c.name;
    EXPECT_LE(d.loop.now() - start, c.longest) << c.name;
  }
}

// A line at once, then one every 0.6 s; {} while the display is gone, and the
// snapshot again once it is back.
TEST(Monitor, ALineAtOnceThenEvery600Milliseconds) {
  Desktop d;
  channel::RecordingOutput out;
  const auto timer = startMonitor({d.desktop, d.desktop, d.loop}, out);
  EXPECT_EQ(out.takeLines().size(), 1u);
  d.loop.advance(milliseconds(599));
  EXPECT_EQ(out.takeLines().size(), 0u);
  d.loop.advance(milliseconds(6001));
  EXPECT_EQ(out.takeLines().size(), 11u) << "at 0.6 s and every 0.6 s to 6.6 s";
  d.desktop.display = false;
  d.loop.advance(milliseconds(600));
  EXPECT_EQ(out.takeLines(), std::vector<std::string>{"{}"});
  d.desktop.display = true;
  d.loop.advance(milliseconds(600));
  const auto lines = out.takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(channel::parseObject(lines[0]).value_or(channel::Json())["processId"], 812);
}

// Each branch of the text focus, in its order.
TEST(TextFocus, Branches) {
  using Set = std::map<std::string, Value>;
  const Settable yes{axSuccess, true}, no{axSuccess, false}, broken{axCannotComplete, false};
  const struct {
    const char* name;
    Set attributes;
    Settable value, selection;
    std::optional<bool> expected;
  } cases[] = {
      {"role unreadable", {}, yes, yes, std::nullopt},
      {"disabled text field", {{"AXRole", "AXTextField"}, {"AXEnabled", false}, {"AXEditable", true}}, yes, yes, false},
      {"editable group", {{"AXRole", "AXGroup"}, {"AXEditable", true}}, no, no, true},
      {"not editable text area", {{"AXRole", "AXTextArea"}, {"AXEditable", false}}, yes, yes, false},
      {"group", {{"AXRole", "AXGroup"}}, yes, yes, std::nullopt},
      {"web area", {{"AXRole", "AXWebArea"}, {"AXEnabled", true}}, yes, yes, std::nullopt},
      {"settable value", {{"AXRole", "AXTextField"}}, yes, no, true},
      {"settable selection", {{"AXRole", "AXComboBox"}}, broken, yes, true},
      {"nothing settable", {{"AXRole", "AXTextField"}}, no, no, false},
      {"settability unknown", {{"AXRole", "AXTextArea"}}, no, broken, std::nullopt},
      {"button", {{"AXRole", "AXButton"}}, yes, yes, false},
  };
  for (const auto& c : cases) {
    Desktop d;
    auto focused = std::make_shared<SimElement>();
    for (const auto& [attribute, value] : c.attributes) focused->set(attribute, value);
    focused->settableAttribute("AXValue", c.value).settableAttribute("AXSelectedText", c.selection);
    d.app->set("AXFocusedUIElement", ElementRef(focused));
    EXPECT_EQ(textFocus(d.desktop, d.app), c.expected) << c.name;
  }
  Desktop none;
  none.app->fail("AXFocusedUIElement", axNoValue);
  EXPECT_EQ(textFocus(none.desktop, none.app), std::nullopt);
}

}  // namespace
}  // namespace morvik::context
