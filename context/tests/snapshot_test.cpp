// The snapshot, the text focus and window safety against the simulated desktop.
#include "context/snapshot.h"

#include <gtest/gtest.h>

#include "channel/manual_loop.h"
#include "context/sim/sim_desktop.h"

namespace morvik::context {
namespace {

using sim::SimElement;

struct Desktop {
  Desktop() {
    app = desktop.addApplication({812, "com.apple.TextEdit", "TextEdit"});
    window = std::make_shared<SimElement>(4711);
    window->set("AXTitle", "Notes.txt");
    app->set("AXFocusedWindow", ElementRef(window));
  }
  channel::Json take() { return snapshot({desktop, desktop, loop}); }

  channel::ManualLoop loop;
  sim::SimDesktop desktop;
  std::shared_ptr<SimElement> app, window;
};

TEST(Snapshot, WholeObjectWithAndWithoutPermission) {
  Desktop d;
  d.desktop.counters = {{EventType::keyDown, 7}, {EventType::leftMouseUp, 2}, {EventType::leftMouseDragged, 1}};
  EXPECT_EQ(d.take().dump(),
            R"({"hasWindow":true,"textFocus":null,"activity":{"source":"mac-session","keys":7,"clicks":2,"drags":1},)"
            R"("processId":812,"id":"com.apple.TextEdit","app":"TextEdit","title":"Notes.txt","url":"",)"
            R"("pageAccess":true,"windowId":"812:4711","safeToSave":true})");
  EXPECT_EQ(*d.app->timeout, 0.12f);
  d.desktop.trusted = false;
  EXPECT_EQ(d.take().dump(),
            R"({"hasWindow":null,"textFocus":null,"activity":{"source":"mac-session","keys":7,"clicks":2,"drags":1},)"
            R"("processId":812,"id":"com.apple.TextEdit","app":"TextEdit","title":"","url":"",)"
            R"("pageAccess":false,"windowId":"","safeToSave":false})");
  d.desktop.front.reset();
  EXPECT_EQ(d.take().dump(), "{}");
}

TEST(Snapshot, FocusedWindowReads) {
  const struct {
    const char* name;
    std::function<void(Desktop&)> script;
    channel::Json hasWindow;
    bool safeToSave;
  } cases[] = {
      {"no focused window", [](Desktop& d) { d.app->fail("AXFocusedWindow", axNoValue); }, false, false},
      {"messaging timeout", [](Desktop& d) { d.app->fail("AXFocusedWindow", axCannotComplete); }, nullptr, false},
      {"not an element", [](Desktop& d) { d.app->set("AXFocusedWindow", std::string("x")); }, nullptr, false},
      {"a sheet open",
       [](Desktop& d) { d.window->set("AXSheets", std::vector<ElementRef>{std::make_shared<SimElement>()}); }, true,
       false},
      {"no sheets", [](Desktop& d) { d.window->set("AXSheets", std::vector<ElementRef>{}); }, true, true},
      {"a dialog", [](Desktop& d) { d.window->set("AXSubrole", std::string("AXDialog")); }, true, false},
      {"modal", [](Desktop& d) { d.window->set("AXModal", true); }, true, false},
      {"not modal", [](Desktop& d) { d.window->set("AXModal", false); }, true, true},
      {"modal unreadable", [](Desktop& d) { d.window->fail("AXModal", axCannotComplete); }, true, true},
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
  d.window->set("AXDocument", std::string("https://example.com/a?b#c"));
  auto snapshot = d.take();
  EXPECT_EQ(snapshot["url"], "https://example.com/a");
  EXPECT_EQ(snapshot["id"], "COM.Google.Chrome");
  d.desktop.front->bundleIdentifier = "com.apple.TextEdit";
  d.window->reads = 0;
  EXPECT_EQ(d.take()["url"], "");
  EXPECT_EQ(d.window->reads, 4) << "sheets, subrole, modal and title: another application's window is not searched";
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
    EXPECT_EQ(*focused->timeout, 0.05f);
  }
  Desktop none;
  none.app->fail("AXFocusedUIElement", axNoValue);
  EXPECT_EQ(textFocus(none.desktop, none.app), std::nullopt);
}

}  // namespace
}  // namespace morvik::context
