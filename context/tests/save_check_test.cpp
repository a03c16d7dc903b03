// The save check, step by step in its order.
#include "context/save_check.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "channel/manual_loop.h"
#include "context/sim/sim_desktop.h"
#include "context/snapshot.h"

namespace morvik::context {
namespace {

using sim::SimElement;

const std::string invalid = R"({"error":"保存请求无效"})";
const std::string switched = R"({"skipped":"窗口已切换或存在对话框"})";
const std::string busy = R"({"skipped":"正在操作，请稍后保存"})";
const std::string ready = R"({"ready":true})";

struct Check {
  Check() {
    auto app = desktop.addApplication({812, "com.apple.Safari", "Safari"});
    window = std::make_shared<SimElement>(4711);
    window->set("AXTitle", std::string("Caf\xC3\xA9")).set("AXDocument", std::string("https://example.com/"));
    app->set("AXFocusedWindow", ElementRef(window));
  }
  channel::Json current() { return snapshot({desktop, desktop, loop}); }
  std::string answer(const std::string& scope, const channel::Json& context) {
    const std::string line = channel::serialize({{"scope", scope}, {"context", context}});
    return channel::serialize(saveAnswer({desktop, desktop, loop}, line));
  }

  channel::ManualLoop loop;
  sim::SimDesktop desktop;
  std::shared_ptr<SimElement> window;
};

TEST(SaveCheck, InvalidRequests) {
  Check c;
  for (const char* line : {"", "not json", "[1]", R"({"scope":"app"})", R"({"scope":"app","context":"{}"})",
                           R"({"scope":"App","context":{}})", R"({"scope":"tab","context":{}})", R"({"context":{}})",
                           R"({"scope":1,"context":{}})"})
    EXPECT_EQ(channel::serialize(saveAnswer({c.desktop, c.desktop, c.loop}, std::string(line))), invalid) << line;
  EXPECT_EQ(channel::serialize(saveAnswer({c.desktop, c.desktop, c.loop}, std::nullopt)), invalid);
}

TEST(SaveCheck, ContextComparisonInOrder) {
  const struct {
    const char* name;
    std::string scope;
    std::function<void(Check&, channel::Json&)> change;
    std::string expected;
  } cases[] = {
      {"unchanged window", "window", [](Check&, channel::Json&) {}, ready},
      {"process id as a string", "app", [](Check&, channel::Json& c) { c["processId"] = "812"; }, switched},
      {"no process id, no application in front", "app",
       [](Check& k, channel::Json& c) {
         c.erase("processId");
         k.desktop.front.reset();
       },
       switched},
      {"process id 0 on both sides (no permission, app scope)", "app",
       [](Check& k, channel::Json& c) {
         k.desktop.trusted = false;
         k.desktop.front->processIdentifier = 0;
         c["processId"] = 0;
       },
       switched},
      {"id changed, same process", "app", [](Check&, channel::Json& c) { c["id"] = "com.apple.TextEdit"; }, switched},
      {"window changed while Command is held", "window",
       [](Check& k, channel::Json& c) {
         c["windowId"] = "812:4712";
         k.desktop.heldFlags = modifier::command;
       },
       switched},
      {"another application in front once the snapshot is taken", "app",
       [](Check& k, channel::Json&) {
         k.window->after("AXTitle", [&k] {
           k.desktop.front = FrontApplication{913, "com.apple.TextEdit", "TextEdit"};
         });
       },
       switched},
      {"title changed, app scope", "app", [](Check&, channel::Json& c) { c["title"] = "Other"; }, ready},
      {"title changed, window scope", "window", [](Check&, channel::Json& c) { c["title"] = "Other"; }, switched},
      {"title decomposed", "window", [](Check&, channel::Json& c) { c["title"] = "Cafe\xCC\x81"; }, ready},
      {"url missing in the context", "window",
       [](Check& k, channel::Json& c) {
         c.erase("url");
         k.window->attributes.erase("AXDocument");
       },
       ready},
      {"url changed", "window", [](Check&, channel::Json& c) { c["url"] = "https://example.com/x"; }, switched},
      {"sheet open", "app",
       [](Check& k, channel::Json&) {
         k.window->set("AXSheets", std::vector<ElementRef>{std::make_shared<SimElement>()});
       },
       switched},
      {"no permission, app scope", "app", [](Check& k, channel::Json&) { k.desktop.trusted = false; }, ready},
      {"no permission, window scope", "window", [](Check& k, channel::Json&) { k.desktop.trusted = false; }, switched},
      {"Caps Lock alone", "app", [](Check& k, channel::Json&) { k.desktop.heldFlags = 0x10000; }, ready},
      {"Command held", "app", [](Check& k, channel::Json&) { k.desktop.heldFlags = modifier::command; }, busy},
      {"Shift held", "window", [](Check& k, channel::Json&) { k.desktop.heldFlags = modifier::shift | 0x100; }, busy},
      {"key pressed 0.5 s ago", "app", [](Check& k, channel::Json&) { k.desktop.secondsSinceKeyDown = 0.5; }, busy},
      {"key pressed 1 s ago", "app", [](Check& k, channel::Json&) { k.desktop.secondsSinceKeyDown = 1.0; }, ready},
      {"left button held", "app", [](Check& k, channel::Json&) { k.desktop.leftHeld = true; }, busy},
      {"right button held", "app", [](Check& k, channel::Json&) { k.desktop.rightHeld = true; }, busy},
  };
  for (const auto& c : cases) {
    Check check;
    channel::Json context = check.current();
    c.change(check, context);
    EXPECT_EQ(check.answer(c.scope, context), c.expected) << c.name;
  }
}

std::optional<std::string> readFrom(const std::string& input, std::size_t limit) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  auto line = readRequestLine(fds[0], limit);
  ::close(fds[0]);
  return line;
}

TEST(SaveCheck, RequestLine) {
  EXPECT_EQ(readFrom("", 8), std::nullopt);
  EXPECT_EQ(readFrom("\n", 8), "");
  EXPECT_EQ(readFrom("12345678\r\nsecond\n", 8), "12345678");
  EXPECT_EQ(readFrom("123456789\n", 8), std::nullopt);
  EXPECT_EQ(readFrom("last line", 16), "last line");
  EXPECT_EQ(readFrom("\xC3\x28\n", 8), "\xEF\xBF\xBD(");
}

}  // namespace
}  // namespace morvik::context
