#include "testsupport/pipewire_server.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace morvik::testing {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

}  // namespace

PipeWireServer::PipeWireServer(const std::string& sinkConfiguration) : SoundServer("morvik-pipewire") {
  const std::filesystem::path config = directory_ + "/config";
  writeFile(config / "pipewire/pipewire.conf.d/blackhole-2ch.conf", sinkConfiguration);
  writeFile(config / "pipewire/pipewire.conf.d/pulse.conf",
            "context.modules = [ { name = libpipewire-module-protocol-pulse\n"
            "  args = { server.address = [ \"unix:" +
                socket_ + "\" ] } } ]\n");
  // No sound cards, cameras or Bluetooth: only the configured sink.
  writeFile(config / "wireplumber/main.lua.d/80-morvik-test.lua",
            "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n");
  writeFile(config / "wireplumber/bluetooth.lua.d/80-morvik-test.lua", "bluez_monitor.enabled = false\n");
  // A bus that activates nothing, so no service outlives the test.
  const auto bus = writeBusConfiguration(directory_);
  environment_ = {"HOME=" + directory_,
                  "XDG_RUNTIME_DIR=" + directory_,
                  "XDG_CONFIG_HOME=" + config.string(),
                  "XDG_STATE_HOME=" + directory_ + "/state",
                  "DBUS_SESSION_BUS_ADDRESS=unix:path=" + directory_ + "/bus",
                  "PIPEWIRE_REMOTE=pipewire-0"};
  auto& daemon = processes_.emplace_back(
      startDaemon(environment_, {"/usr/bin/dbus-daemon", "--config-file=" + bus, "--nofork", "--print-address=1"}));
  if (!daemon->readLine(std::chrono::seconds(10))) throw std::runtime_error("dbus-daemon did not start");
  processes_.push_back(start("/usr/bin/pipewire"));
  // WirePlumber gives up at once when PipeWire does not answer yet.
  waitFor({"info"});
  processes_.push_back(start("/usr/bin/wireplumber"));
  // The session manager makes the sink the default: it is ready to link streams.
  waitFor({"get-default-sink"}, "blackhole\n");
}

PipeWireServer::~PipeWireServer() {
  // The session manager first, the bus last, as a session ends.
  while (!processes_.empty()) processes_.pop_back();
}

std::unique_ptr<ChildProcess> PipeWireServer::start(const std::string& program) {
  // Their logs go to a file: a full pipe of warnings would stall the server.
  return startDaemon(environment_, {"/bin/sh", "-c", "exec \"$0\" >>\"$1\" 2>&1", program, directory_ + "/log"});
}

int PipeWireServer::removeSink() const {
  return runProcess("/usr/bin/env", isolated(environment_, {"/usr/bin/pw-cli", "destroy", "blackhole"})).exit.status;
}

}  // namespace morvik::testing
