// morvik-permissions as the application runs it.
#include <gtest/gtest.h>

#include "testsupport/process.h"
#ifdef MORVIK_PERMISSIONS_LINUX
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "ble/linux/tests/bluez_mock.h"
#include "testsupport/desktop_session.h"
#endif

namespace morvik::permissions {
namespace {

TEST(PermissionsProcess, OneLineOrNothingWithItsExitStatus) {
  const std::string granted = R"({"bluetooth":"granted","accessibility":"granted","speech":"granted"})"
                              "\n";
  for (const auto& [arguments, output, status] :
       {std::tuple<std::vector<std::string>, std::string, int>{{}, granted, 0},
        {{"bluetooth", "x", "y"}, granted, 0},
        {{"Speech"}, "", 2},
        {{""}, "", 2}}) {
    const auto run = testing::runProcess(MORVIK_PERMISSIONS_SIM, arguments);
    EXPECT_EQ(run.output, output);
    EXPECT_EQ(run.exit.status, status);
    EXPECT_EQ(run.errors, "");
  }
}

#ifdef MORVIK_PERMISSIONS_LINUX
const std::string absent = std::string(R"({"bluetooth":"unknown","accessibility":"denied","speech":"granted"})") + "\n";

std::string report(const std::vector<std::string>& environment, const std::string& command = "bluetooth") {
  return testing::runProcess(MORVIK_PERMISSIONS_LINUX, {command}, {}, environment).output;
}

// A system bus at `address`, no session bus.
std::vector<std::string> systemBus(const std::string& address) {
  return {"DBUS_SYSTEM_BUS_ADDRESS=" + address, "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
}

// Linux decides everything at once: what BlueZ and the accessibility bus answer.
TEST(PermissionsLinux, BlueZAndTheAccessibilityBus) {
  // On a loaded machine one run may reach the report's 1 s bound before a
  // healthy service answers, and then counts it absent; the next runs answer.
  const auto soonReports = [&](const std::vector<std::string>& environment, const std::string& part) {
    for (int run = 0; run < 3; ++run)
      if (report(environment).find(part) != std::string::npos) return true;
    return false;
  };
  EXPECT_EQ(report(systemBus("unix:path=/nonexistent")), absent);
  for (const bool refusing : {false, true}) {
    ble::linux::BluezMock bluez({.denyObjectManager = refusing});
    EXPECT_TRUE(
        soonReports(bluez.environment(), refusing ? R"({"bluetooth":"denied",)" : R"({"bluetooth":"granted",)"));
  }
  testing::DesktopSession desktop(MORVIK_GTK_TEST_APP);
  EXPECT_TRUE(soonReports(desktop.environment(), R"("accessibility":"granted")"));
  desktop.setAccessibilityEnabled(false);
  EXPECT_NE(report(desktop.environment()).find(R"("accessibility":"denied")"), std::string::npos);
}

// A socket of the test's own that takes connections and answers nothing by itself.
struct Listening {
  explicit Listening(const std::string& name) : path("/tmp/morvik-" + name + "-" + std::to_string(::getpid())) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 8) != 0) fd = -1;
  }
  ~Listening() {
    ::close(fd);
    ::unlink(path.c_str());
  }
  const std::string path;
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
};

// A report changes nothing and waits on nobody: a stopped daemon is not
// started, a stalled bus or daemon counts as absent, asked once.
TEST(PermissionsLinux, StoppedOrStalledDaemons) {
  {
    ble::linux::BluezMock stopped({.startService = false, .activatable = true});
    EXPECT_EQ(report(stopped.bothBuses()), absent);
    EXPECT_FALSE(stopped.activated());
  }
  {
    // A bus that takes connections and never answers their handshake.
    const Listening bus("silent-bus");
    ASSERT_GE(bus.fd, 0);
    const std::vector<std::string> silent = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus.path,
                                             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus.path};
    // Also from an application that hands down hundreds of sockets, which
    // must stay open, or that starts it with the alarm signal blocked.
    for (const auto& [handedDown, alarmBlocked] : {std::pair{300, false}, {0, false}, {0, true}}) {
      std::vector<int> descriptors(handedDown);
      for (std::size_t i = 0; i < descriptors.size(); i += 2) ::socketpair(AF_UNIX, SOCK_STREAM, 0, &descriptors[i]);
      sigset_t alarm, before;
      sigemptyset(&alarm);
      sigaddset(&alarm, SIGALRM);
      ::pthread_sigmask(alarmBlocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, &before);
      EXPECT_EQ(report(silent, "status"), absent) << handedDown << " descriptors, alarm blocked: " << alarmBlocked;
      ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
      for (std::size_t i = 0; i < descriptors.size(); i += 2) {
        char byte = 0;
        EXPECT_TRUE(::write(descriptors[i], "x", 1) == 1 && ::read(descriptors[i + 1], &byte, 1) == 1) << i;
        ::close(descriptors[i]);
        ::close(descriptors[i + 1]);
      }
    }
  }
  {
    // Something that is not a bus at all (a web server, say) answers the
    // handshake: nobody refused anything, BlueZ is just not there.
    const Listening web("web-server");
    ASSERT_GE(web.fd, 0);
    std::thread server([&web] {
      const int connection = ::accept(web.fd, nullptr, nullptr);
      char request[256];
      const std::string answer = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
      if (::read(connection, request, sizeof(request)) > 0 && ::write(connection, answer.data(), answer.size()) < 0) {
      }
      ::close(connection);
    });
    EXPECT_EQ(report(systemBus("unix:path=" + web.path)), absent);
    ::shutdown(web.fd, SHUT_RDWR);  // ends the accept if nobody came
    server.join();
  }
  {
    // A bus reached through a program it starts ("unixexec:"), here one that
    // heeds no SIGTERM: the report does not wait for it to end.
    const std::string pidFile = "/tmp/morvik-bus-program-" + std::to_string(::getpid());
    const std::string program = "unixexec:path=/bin/sh,argv0=sh,argv1=-c,argv2=echo%20%24%24%20%3E" + pidFile +
                                "%3B%20trap%20%27%27%20TERM%3B%20exec%20sleep%2020";
    EXPECT_EQ(report(systemBus(program), "status"), absent);
    int pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, SIGKILL), 0) << "the report waited for the bus's program to end";
    ::unlink(pidFile.c_str());
  }
  ble::linux::BluezMock stalled;
  stalled.mock("StallObjectManager", true);
  EXPECT_EQ(report(stalled.bothBuses()), absent);
  // Once at most: a machine slow enough may reach the deadline before asking.
  EXPECT_LE(stalled.ask<std::uint32_t>("StallObjectManager", false), 1u) << "asked once";
}
#endif

}  // namespace
}  // namespace morvik::permissions
