// morvik-context as the application runs it: the simulated desktop always,
// and on Linux a desktop of the test's own with the GTK test application.
#include <gtest/gtest.h>

#include "channel/json.h"
#include "channel/output.h"
#include "testsupport/process.h"
#ifdef MORVIK_CONTEXT_LINUX
#include <thread>

#include "testsupport/desktop_session.h"
#endif

namespace morvik::context {
namespace {

TEST(ContextProcess, SaveCheckAnswers) {
  const std::string context =
      R"({"processId":812,"id":"com.apple.TextEdit","windowId":"812:4711","title":"Notes.txt","url":""})";
  const std::pair<std::string, std::string> cases[] = {
      {"", R"({"error":"保存请求无效"})"},
      {R"({"scope":"window","context":)" + context + "}\nnot read\n", R"({"ready":true})"},
      {R"({"scope":"app","context":{"processId":913,"id":"com.apple.Safari"}})",
       R"({"skipped":"窗口已切换或存在对话框"})"},
      {std::string(5 * 1024 * 1024, '{'), R"({"error":"保存请求无效"})"},
  };
  for (const auto& [input, answer] : cases) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check-save"}, std::vector<std::string>{"-v", "--check-save", "x"}}) {
      const auto run = testing::runProcess(MORVIK_CONTEXT_SIM, args, input);
      EXPECT_EQ(run.output, answer + "\n") << input.substr(0, 60);
      EXPECT_EQ(run.exit.status, 0);
    }
  }
}

#ifdef MORVIK_CONTEXT_LINUX
using std::chrono::milliseconds;
using testing::ChildProcess;

channel::Json object(const std::optional<std::string>& line) {
  return line ? channel::parseObject(*line).value_or(channel::Json()) : channel::Json();
}

class ContextLinux : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desktop = new testing::DesktopSession(MORVIK_GTK_TEST_APP); }
  static void TearDownTestSuite() { delete desktop; }
  channel::Json snapshot() {
    ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, desktop->environment());
    return object(monitor.readLine(std::chrono::seconds(5)));
  }
  std::string check(const std::string& scope, const channel::Json& context) {
    const auto line = channel::serialize({{"scope", scope}, {"context", context}}) + "\n";
    return testing::runProcess(MORVIK_CONTEXT_LINUX, {"--check-save"}, line, desktop->environment()).output;
  }
  static testing::DesktopSession* desktop;
};
testing::DesktopSession* ContextLinux::desktop = nullptr;

TEST_F(ContextLinux, SnapshotFollowsTheFocusAndTheDialog) {
  auto current = snapshot();
  const int pid = desktop->applicationProcess();
  const std::string window = desktop->xdotool({"getactivewindow"});
  EXPECT_EQ(current["processId"], pid);
  EXPECT_EQ(current["id"], "studio.morvik.TestNotes");
  EXPECT_EQ(current["title"], "Morvik Test Notes");
  EXPECT_EQ(current["windowId"], std::to_string(pid) + ":" + std::to_string(std::stoul(window)));
  EXPECT_EQ(current["hasWindow"], true);
  EXPECT_EQ(current["pageAccess"], true);
  EXPECT_EQ(current["safeToSave"], true);
  EXPECT_EQ(current["textFocus"], true) << "the entry";
  for (const auto& [key, focus] : {std::pair<std::string, bool>{"alt+2", true}, {"alt+3", false}}) {
    desktop->xdotool({"key", key});
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(snapshot()["textFocus"], focus) << key;
  }
  desktop->setAccessibilityEnabled(false);
  current = snapshot();
  desktop->setAccessibilityEnabled(true);
  EXPECT_EQ(current["pageAccess"], false);
  EXPECT_TRUE(current["hasWindow"].is_null());
  EXPECT_EQ(current["id"], "studio.morvik.TestNotes");

  desktop->xdotool({"key", "alt+d"});
  std::this_thread::sleep_for(milliseconds(500));
  current = snapshot();
  EXPECT_EQ(current["title"], "Unsaved changes");
  EXPECT_EQ(current["safeToSave"], false);
  EXPECT_EQ(current["id"], "studio.morvik.TestNotes") << "a dialog belongs to its application";
  EXPECT_EQ(check("app", current), R"({"skipped":"窗口已切换或存在对话框"})"
                                   "\n");
  desktop->xdotool({"key", "Escape"});
  std::this_thread::sleep_for(milliseconds(500));
}

TEST_F(ContextLinux, CountersAndTheBusyRules) {
  ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, desktop->environment());
  const auto first = object(monitor.readLine(std::chrono::seconds(5)));
  desktop->xdotool({"key", "alt+1"});
  desktop->xdotool({"type", "abc"});
  const std::string window = desktop->xdotool({"getactivewindow"});
  desktop->xdotool({"mousemove", "--window", window.substr(0, window.size() - 1), "100", "150", "click", "1"});
  // The first snapshot that has counted them all, however busy the machine.
  const auto counted = [&](const channel::Json& later, const char* key) {
    return later["activity"][key].get<int>() - first["activity"][key].get<int>();
  };
  channel::Json later = first;
  for (int tick = 0; tick < 10 && (counted(later, "keys") < 4 || counted(later, "clicks") < 1); ++tick) {
    const auto line = monitor.readLine(std::chrono::seconds(2));
    ASSERT_TRUE(line) << "the monitor stopped";
    later = object(line);
  }
  EXPECT_GE(counted(later, "keys"), 4);
  EXPECT_EQ(counted(later, "clicks"), 1);

  const auto context = snapshot();
  desktop->xdotool({"key", "x"});
  EXPECT_EQ(check("window", context), R"({"skipped":"正在操作，请稍后保存"})"
                                      "\n")
      << "keys pressed just now";
  std::this_thread::sleep_for(milliseconds(1100));
  EXPECT_EQ(check("window", context), R"({"ready":true})"
                                      "\n");
  desktop->xdotool({"keydown", "shift"});
  std::this_thread::sleep_for(milliseconds(1100));
  const auto held = check("window", context);
  desktop->xdotool({"keyup", "shift"});
  EXPECT_EQ(held, R"({"skipped":"正在操作，请稍后保存"})"
                  "\n")
      << "Shift held";
}
#endif

}  // namespace
}  // namespace morvik::context
