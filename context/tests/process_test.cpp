// morvik-context as the application runs it: the simulated desktop always,
// and on Linux a desktop of the test's own with the GTK test application.
#include <gtest/gtest.h>

#include "channel/json.h"
#include "channel/output.h"
#include "testsupport/process.h"
#ifdef MORVIK_CONTEXT_LINUX
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "testsupport/desktop_session.h"
// Xlib last: its macros (None, Status...) would shadow other headers' names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

namespace morvik::context {
namespace {

const std::string ready = std::string(R"({"ready":true})") + "\n";
const std::string switched = std::string(R"({"skipped":"窗口已切换或存在对话框"})") + "\n";
const std::string busy = std::string(R"({"skipped":"正在操作，请稍后保存"})") + "\n";

TEST(ContextProcess, SaveCheckAnswersAndTheMonitorEndsWithItsReader) {
  const std::string invalid = std::string(R"({"error":"保存请求无效"})") + "\n";
  const std::string context =
      R"({"processId":812,"id":"com.apple.TextEdit","windowId":"812:4711","title":"Notes.txt","url":""})";
  const std::pair<std::string, std::string> cases[] = {
      {"", invalid},
      {R"({"scope":"window","context":)" + context + "}\nnot read\n", ready},
      {std::string(5 * 1024 * 1024, '{'), invalid},
  };
  for (const auto& [input, answer] : cases) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check-save"}, std::vector<std::string>{"-v", "--check-save", "x"}}) {
      const auto run = testing::runProcess(MORVIK_CONTEXT_SIM, args, input);
      EXPECT_EQ(run.output, answer) << input.substr(0, 60);
      EXPECT_EQ(run.exit.status, 0);
    }
  }
  // head reads one snapshot and leaves; the monitor's next write finds no reader.
  const auto run = testing::runProcess("/bin/bash", {"-c", R"(set -o pipefail; "$0" | head -n 1)", MORVIK_CONTEXT_SIM});
  EXPECT_EQ(run.output.substr(0, 1), "{");
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_EQ(run.errors, "");
}

#ifdef MORVIK_CONTEXT_LINUX
using std::chrono::milliseconds;
using testing::ChildProcess;

channel::Json object(const std::optional<std::string>& line) {
  return line ? channel::parseObject(*line).value_or(channel::Json()) : channel::Json();
}

// The monitor's snapshots until one meets the condition ({} while the front
// window changes), the last one when none does within 40 or the monitor
// stops. A loaded machine starves the desktop too: its reads may miss their
// bounds for several ticks before one snapshot has them all.
template <typename Condition>
channel::Json snapshotUntil(ChildProcess& monitor, Condition condition) {
  channel::Json last;
  for (int tick = 0; tick < 40; ++tick) {
    const auto line = monitor.readLine(std::chrono::seconds(5));
    if (!line) break;
    if (condition(last = object(line))) break;
  }
  return last;
}

class ContextLinux : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desktop = new testing::DesktopSession(MORVIK_GTK_TEST_APP); }
  static void TearDownTestSuite() { delete desktop; }
  // The check's answer once it is the expected one, or the last within 10 s:
  // on a loaded machine a check's own snapshot may miss a read's bound and
  // fail closed as "switched", and one right after a key press is "busy".
  std::string settledCheck(const std::string& scope, const channel::Json& context, const std::string& expected) {
    const auto line = channel::serialize({{"scope", scope}, {"context", context}}) + "\n";
    std::string answer;
    testing::eventually([&] {
      answer = testing::runProcess(MORVIK_CONTEXT_LINUX, {"--check-save"}, line, desktop->environment()).output;
      return answer == expected;
    });
    return answer;
  }
  template <typename Condition>
  channel::Json snapshotWhere(Condition condition) {
    ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, desktop->environment());
    return snapshotUntil(monitor, condition);
  }
  static testing::DesktopSession* desktop;
};
testing::DesktopSession* ContextLinux::desktop = nullptr;

TEST_F(ContextLinux, SnapshotFollowsTheFocusAndTheDialog) {
  auto current = snapshotWhere([](channel::Json& s) { return s["safeToSave"] == true; });
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
    EXPECT_EQ(snapshotWhere([&](channel::Json& s) { return s["textFocus"] == focus; })["textFocus"], focus) << key;
  }
  desktop->setAccessibilityEnabled(false);
  current = snapshotWhere([](channel::Json&) { return true; });
  desktop->setAccessibilityEnabled(true);
  EXPECT_EQ(current["pageAccess"], false);
  EXPECT_TRUE(current["hasWindow"].is_null());
  EXPECT_EQ(current["id"], "studio.morvik.TestNotes");

  desktop->xdotool({"key", "alt+d"});
  current = snapshotWhere([](channel::Json& s) { return s["title"] == "Unsaved changes"; });
  EXPECT_EQ(current["title"], "Unsaved changes");
  EXPECT_EQ(current["safeToSave"], false);
  EXPECT_EQ(current["id"], "studio.morvik.TestNotes") << "a dialog belongs to its application";
  EXPECT_EQ(settledCheck("app", current, switched), switched);
  desktop->xdotool({"key", "Escape"});
  snapshotWhere([](channel::Json& s) { return s["title"] == "Morvik Test Notes"; });
}

TEST_F(ContextLinux, CountersAndTheBusyRules) {
  ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, desktop->environment());
  const auto first = object(monitor.readLine(std::chrono::seconds(5)));
  // Modifiers alone are no key-downs: Alt+1 and abc are four.
  desktop->xdotool({"key", "shift", "ctrl", "alt+1"});
  desktop->xdotool({"type", "abc"});
  std::string window = desktop->xdotool({"getactivewindow"});
  window.pop_back();
  desktop->xdotool({"mousemove", "--window", window, "100", "150", "click", "1"});
  // A right click neither counts as a click nor ends the left button's drag.
  desktop->xdotool({"mousedown", "1", "mousemove_relative", "5", "5", "click", "3", "mousemove_relative", "5", "5",
                    "mouseup", "1", "key", "Escape"});
  const auto counted = [&](const channel::Json& later, const char* key) {
    return later["activity"][key].get<int>() - first["activity"][key].get<int>();
  };
  // The first snapshot that has counted them all, however busy the machine.
  const auto later =
      snapshotUntil(monitor, [&](channel::Json& s) { return s.contains("activity") && counted(s, "keys") >= 5; });
  EXPECT_EQ(counted(later, "keys"), 5) << "four and Escape";
  EXPECT_EQ(counted(later, "clicks"), 2);
  EXPECT_GE(counted(later, "drags"), 2);

  const auto context = snapshotWhere([](channel::Json& s) { return s["safeToSave"] == true; });
  {
    // Typing on while the check runs, however long a loaded machine makes it.
    ChildProcess typing("/usr/bin/xdotool", {"type", "--delay", "200", std::string(100, 'x')}, desktop->environment());
    EXPECT_EQ(settledCheck("window", context, busy), busy) << "keys pressed just now";
  }
  desktop->xdotool({"keyup", "x"});  // the key the stopped typing may have left down
  EXPECT_EQ(settledCheck("window", context, ready), ready) << "a second after the last key";
  desktop->xdotool({"keydown", "shift"});
  std::this_thread::sleep_for(milliseconds(1100));
  const auto held = settledCheck("window", context, busy);
  desktop->xdotool({"keyup", "shift"});
  EXPECT_EQ(held, busy) << "Shift held";
}
TEST_F(ContextLinux, ReadsThatFailDecideNothing) {
  // The focused group's states fail: not "disabled, so no text focus". The
  // window's and its modal dialog's places fail: the dialog is still not the
  // window itself.
  ChildProcess application("/usr/bin/python3", {MORVIK_GTK_TEST_APP, "--unreadable"}, desktop->environment());
  ASSERT_EQ(application.readLine(std::chrono::seconds(20)), "ready");
  const auto current = snapshotWhere([&](channel::Json& s) { return s["title"] == "Morvik Fake Notes"; });
  application.wait(milliseconds(10));
  desktop->xdotool({"search", "--name", "Morvik Test Notes", "windowactivate"});
  EXPECT_EQ(current["title"], "Morvik Fake Notes");
  EXPECT_TRUE(current["textFocus"].is_null()) << current["textFocus"];
  EXPECT_EQ(current["safeToSave"], false);
}

TEST_F(ContextLinux, HungApplicationOrSessionBusCostsNoMoreThanATick) {
  // A desktop that has just started may not have a front window yet.
  const auto context = snapshotWhere([](channel::Json& s) { return s.contains("processId"); });
  const int pid = desktop->applicationProcess();
  ::kill(pid, SIGSTOP);
  ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, desktop->environment());
  ChildProcess checker(MORVIK_CONTEXT_LINUX, {"--check-save"}, desktop->environment());
  checker.write(channel::serialize({{"scope", "app"}, {"context", context}}) + "\n");
  // Well under libatspi's own 15 s for an application it has just met.
  const auto answer = checker.readLine(std::chrono::seconds(5));
  std::vector<channel::Json> ticks;
  snapshotUntil(monitor, [&](channel::Json& s) { return ticks.emplace_back(s), ticks.size() == 3; });
  ::kill(pid, SIGCONT);
  EXPECT_TRUE(answer.has_value());
  ASSERT_EQ(ticks.size(), 3u);
  for (const auto& tick : ticks) {
    EXPECT_EQ(tick.value("processId", 0), pid) << tick.dump();
    EXPECT_NE(tick["hasWindow"], false) << "a timeout is not \"no window\"";
    EXPECT_EQ(tick["app"], ticks[0]["app"]);
  }
  // A session bus that accepts connections and never answers.
  ::kill(desktop->sessionBusProcess(), SIGSTOP);
  int later = 0;
  while (later < 3 && monitor.readLine(std::chrono::seconds(5))) ++later;
  ::kill(desktop->sessionBusProcess(), SIGCONT);
  EXPECT_EQ(later, 3) << "the monitor stalled";
}

// A bare X server of the test's own: no window manager, no bus; the front
// window is whatever the test writes into _NET_ACTIVE_WINDOW. Other tests'
// servers take the lowest free display number, the very one a stopped server
// frees: this one keeps a number far above theirs across its restart.
class BareDisplay {
 public:
  BareDisplay() : number_(std::to_string(1000 + ::getpid() % 30000)) { start(); }
  void start() {
    server_ = std::make_unique<ChildProcess>(
        "/usr/bin/Xvfb", std::vector<std::string>{":" + number_, "-noreset", "-screen", "0", "640x480x24", "-nolisten",
                                                  "tcp", "-extension", "MIT-SCREEN-SAVER"});
    testing::eventually([&] { return setFront("0"); });  // until the server answers
  }
  void stop() {
    ::kill(server_->pid(), SIGTERM);  // cleanly, so the display number is free again
    server_->wait(std::chrono::seconds(10));
  }
  // Sets the active window (the root window, or an id); the root window has
  // the process id 4242.
  bool setFront(const std::string& window) {
    Display* display = XOpenDisplay((":" + number_).c_str());
    if (display == nullptr) return false;
    const Window root = DefaultRootWindow(display);
    const long pid = 4242, front = static_cast<long>(window == "root" ? root : std::stoul(window, nullptr, 0));
    for (const auto& [name, type, value] :
         {std::tuple{"_NET_WM_PID", XA_CARDINAL, &pid}, {"_NET_ACTIVE_WINDOW", XA_WINDOW, &front}})
      XChangeProperty(display, root, XInternAtom(display, name, False), type, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(value), 1);
    XCloseDisplay(display);
    return true;
  }
  std::vector<std::string> environment() const {
    return {"DISPLAY=:" + number_, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
  }

 private:
  const std::string number_;
  std::unique_ptr<ChildProcess> server_;
};

TEST(ContextX11, VanishedWindowsAndALostServerAreNoFrontApplication) {
  BareDisplay display;
  ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, display.environment());
  // The monitor's next snapshots until the wanted one, or none.
  const auto until = [&](bool wantFront) {
    // Snapshots taken before the change (while a restart was slow) are no ticks.
    while (monitor.readLine(milliseconds(0))) {
    }
    const auto wanted = [&](channel::Json& s) {
      return wantFront ? s["processId"] == 4242 && s["pageAccess"] == false && s["id"] == "" && s["hasWindow"].is_null()
                       : s.is_object() && s.empty();
    };
    auto last = snapshotUntil(monitor, wanted);
    return wanted(last);
  };
  const bool front = true, none = false;
  ASSERT_TRUE(display.setFront("root"));
  EXPECT_TRUE(until(front)) << "the root window in front";
  const std::string request = R"({"scope":"app","context":{"processId":4242,"id":""}})"
                              "\n";
  // Without the screen saver's idle time the user may be typing: busy.
  EXPECT_EQ(testing::runProcess(MORVIK_CONTEXT_LINUX, {"--check-save"}, request, display.environment()).output, busy);

  ASSERT_TRUE(display.setFront("0x3fffff"));  // a window that does not exist
  EXPECT_TRUE(until(none));
  const auto gone = testing::runProcess(MORVIK_CONTEXT_LINUX, {"--check-save"}, request, display.environment());
  EXPECT_EQ(gone.output, switched);
  EXPECT_EQ(gone.errors, "");

  ASSERT_TRUE(display.setFront("root"));
  EXPECT_TRUE(until(front));
  display.stop();
  EXPECT_TRUE(until(none)) << "the server gone";
  display.start();
  ASSERT_TRUE(display.setFront("root"));
  EXPECT_TRUE(until(front)) << "a server back on the display";
  EXPECT_EQ(monitor.wait(milliseconds(10)).signal, SIGKILL) << "still running";
  EXPECT_EQ(monitor.errorOutput(), "");
}

TEST(ContextDesktop, MonitorFollowsARestartedBusAndTheDesktopLeavesNoProcess) {
  std::string marker;
  {
    testing::DesktopSession session(MORVIK_GTK_TEST_APP);
    marker = "HOME=" + session.directory();
    ChildProcess monitor(MORVIK_CONTEXT_LINUX, {}, session.environment());
    ASSERT_TRUE(monitor.readLine(std::chrono::seconds(5)));
    // While the monitor is stopped, the registry's unique name on the old bus
    // goes on the new bus to the application that comes after the restart, as
    // a registry that starts late lets happen: that application must not be
    // taken for the desktop.
    const auto registry = testing::runProcess(
        "/usr/bin/dbus-send",
        {"--bus=" + session.accessibilityAddress(), "--print-reply=literal", "--dest=org.freedesktop.DBus", "/",
         "org.freedesktop.DBus.GetNameOwner", "string:org.a11y.atspi.Registry"},
        {}, session.environment());
    ::kill(monitor.pid(), SIGSTOP);
    session.restartAccessibility();
    // Connections to the new bus until the next one would get the registry's old name.
    const std::string takeNames =
        "from gi.repository import Gio;import sys;f=Gio.DBusConnectionFlags;n=int(sys.argv[2].split('.')[1])\n"
        "while int(Gio.DBusConnection.new_for_address_sync(sys.argv[1],f.AUTHENTICATION_CLIENT|"
        "f.MESSAGE_BUS_CONNECTION,None,None).get_unique_name().split('.')[1])<n-1: pass\n";
    testing::runProcess("/usr/bin/python3", {"-c", takeNames, session.accessibilityAddress(), registry.output}, {},
                        session.environment());
    // An application that came after the restart, seen by the running monitor.
    ChildProcess browser("/usr/bin/python3", {MORVIK_GTK_TEST_APP, "--browser"}, session.environment());
    ASSERT_EQ(browser.readLine(std::chrono::seconds(20)), "ready");
    ::kill(monitor.pid(), SIGCONT);
    auto current = snapshotUntil(monitor, [](channel::Json& s) { return s["title"] == "Example Domain"; });
    EXPECT_EQ(current["title"], "Example Domain");
    EXPECT_EQ(current["hasWindow"], true);
    EXPECT_EQ(current["id"], "firefox") << "the browser by its Linux name gives the page";
    EXPECT_EQ(current["url"], "https://example.org/page");
    // Restarts that give the registry the same name again, which libatspi's
    // table of applications once paid for with a freed registry proxy.
    // Each round starts an application that only the new bus can show.
    for (int restart = 1; restart <= 3; ++restart) {
      session.restartAccessibility();
      ChildProcess next("/usr/bin/python3", {MORVIK_GTK_TEST_APP, "--browser"}, session.environment());
      ASSERT_EQ(next.readLine(std::chrono::seconds(20)), "ready");
      current = snapshotUntil(monitor,
                              [&](channel::Json& s) { return s["processId"] == next.pid() && s["hasWindow"] == true; });
      EXPECT_EQ(current["hasWindow"], true) << "restart " << restart;
      EXPECT_EQ(current["processId"], next.pid()) << "restart " << restart;
    }
    monitor.wait(milliseconds(10));
    EXPECT_EQ(monitor.errorOutput(), "");
  }
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream environ(entry.path() / "environ");
    std::string variables((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
    EXPECT_EQ(variables.find(marker + '\0'), std::string::npos) << entry.path();
  }
}
#endif

}  // namespace
}  // namespace morvik::context
