#include "testsupport/pulse_server.h"

#include <filesystem>
#include <thread>

namespace morvik::testing {

PulseServer::PulseServer() {
  char pattern[] = "/tmp/morvik-pulse-XXXXXX";
  directory_ = ::mkdtemp(pattern);
  socket_ = directory_ + "/native";
  server_ = std::make_unique<ChildProcess>(
      "/usr/bin/pulseaudio",
      // Its log goes to a file: a full pipe of warnings would stall the server.
      std::vector<std::string>{"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                               "--log-target=file:" + directory_ + "/log", "-L",
                               "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1",
                               // As a desktop session's server does: an unused sink is suspended.
                               "-L", "module-suspend-on-idle timeout=1"},
      std::vector<std::string>{"HOME=" + directory_, "XDG_RUNTIME_DIR=" + directory_});
  for (int i = 0; i < 500 && pactl({"info"}) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The device as the documentation tells a user to make it.
  runProcess(MORVIK_VIRTUAL_MIC_DEVICE, {}, {}, environment());
}

PulseServer::~PulseServer() {
  server_.reset();
  std::filesystem::remove_all(directory_);
}

int PulseServer::pactl(const std::vector<std::string>& args) const {
  return runProcess("/usr/bin/pactl", args, {}, environment()).exit.status;
}

std::unique_ptr<ChildProcess> PulseServer::recordMonitor() const {
  auto recorder = std::make_unique<ChildProcess>(
      "/usr/bin/parec",
      std::vector<std::string>{"-d", "blackhole.monitor", "--format=s16le", "--channels=2", "--rate=16000", "--raw",
                               "--latency-msec=10"},
      environment());
  std::size_t heard = 0;
  for (int i = 0; i < 100 && heard < 6400; ++i) heard += recorder->readAll(std::chrono::milliseconds(20)).size();
  return recorder;
}

}  // namespace morvik::testing
