#include "testsupport/desktop_session.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace morvik::testing {

DesktopSession::DesktopSession(const std::string& application) {
  char pattern[] = "/tmp/morvik-desktop-XXXXXX";
  directory_ = ::mkdtemp(pattern);
  auto& xvfb = processes_.emplace_back(std::make_unique<ChildProcess>(
      "/usr/bin/Xvfb", std::vector<std::string>{"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}));
  const auto display = xvfb->readLine(std::chrono::seconds(10));
  if (!display) throw std::runtime_error("Xvfb did not start");
  // A call to the accessibility bus's name while the test restarts it would
  // have the bus start a launcher of its own, out of the test's reach and
  // without the display to announce its bus on: the session's own service
  // folder, which comes first, holds one that fails.
  std::filesystem::create_directories(directory_ + "/dbus-1/services");
  std::ofstream(directory_ + "/dbus-1/services/org.a11y.Bus.service")
      << "[D-BUS Service]\nName=org.a11y.Bus\nExec=/bin/false\n";
  auto& bus = processes_.emplace_back(std::make_unique<ChildProcess>(
      "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--print-address=1"},
      std::vector<std::string>{"XDG_RUNTIME_DIR=" + directory_}));
  const auto address = bus->readLine(std::chrono::seconds(10));
  if (!address) throw std::runtime_error("dbus-daemon did not start");
  environment_ = {"DISPLAY=:" + *display, "DBUS_SESSION_BUS_ADDRESS=" + *address, "HOME=" + directory_,
                  "XDG_RUNTIME_DIR=" + directory_};
  startAccessibility();
  processes_.push_back(std::make_unique<ChildProcess>("/usr/bin/openbox", std::vector<std::string>{}, environment_));
  auto& app = processes_.emplace_back(
      std::make_unique<ChildProcess>("/usr/bin/python3", std::vector<std::string>{application}, environment_));
  if (app->readLine(std::chrono::seconds(20)) != "ready")
    throw std::runtime_error("the test application did not start");
  // Until the window manager has made the window active.
  eventually([&] { return !xdotool({"getactivewindow"}).empty(); });
}

DesktopSession::~DesktopSession() {
  if (accessibilityGroup_ > 0) ::kill(-accessibilityGroup_, SIGKILL);
  while (!processes_.empty()) processes_.pop_back();  // the application first, Xvfb last
  std::filesystem::remove_all(directory_);
}

void DesktopSession::startAccessibility() {
  // In a process group of its own: the launcher starts the accessibility
  // bus's dbus-daemon, which outlives it when only the launcher is stopped.
  auto& launcher = processes_.emplace_back(std::make_unique<ChildProcess>(
      "/usr/bin/setsid", std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
      environment_));
  accessibilityGroup_ = launcher->pid();
  eventually([&] { return !accessibilityAddress().empty(); });
  setAccessibilityEnabled(true);
}

std::string DesktopSession::accessibilityAddress() const {
  const auto reply = runProcess(
      "/usr/bin/dbus-send",
      {"--session", "--print-reply=literal", "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"}, {},
      environment_);
  // dbus-send prints it between spaces and a line feed, which an address never holds.
  std::string address = reply.exit.status == 0 ? reply.output : "";
  std::erase_if(address, [](char c) { return c == ' ' || c == '\n'; });
  return address;
}

void DesktopSession::restartAccessibility() {
  ::kill(-accessibilityGroup_, SIGKILL);
  std::erase_if(processes_, [&](const auto& process) { return process->pid() == accessibilityGroup_; });
  startAccessibility();
}

std::string DesktopSession::xdotool(const std::vector<std::string>& args) const {
  return runProcess("/usr/bin/xdotool", args, {}, environment_).output;
}

void DesktopSession::setAccessibilityEnabled(bool enabled) const {
  runProcess(
      "/usr/bin/dbus-send",
      {"--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties.Set",
       "string:org.a11y.Status", "string:IsEnabled", std::string("variant:boolean:") + (enabled ? "true" : "false")},
      {}, environment_);
}

int DesktopSession::applicationProcess() const { return std::stoi(xdotool({"getactivewindow", "getwindowpid"})); }

}  // namespace morvik::testing
