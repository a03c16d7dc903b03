#include "testsupport/sound_server.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace morvik::testing {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// The arguments of /usr/bin/env that run `command` in nothing but `environment`.
std::vector<std::string> isolated(const std::vector<std::string>& environment,
                                  const std::vector<std::string>& command) {
  std::vector<std::string> args{"-i"};
  args.insert(args.end(), environment.begin(), environment.end());
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

// A daemon of the server, in nothing but `environment` (a desktop's
// PIPEWIRE_RUNTIME_DIR or XDG_CONFIG_HOME would lead it to the user's files
// or another test's), dying with the test even when that is killed.
std::unique_ptr<ChildProcess> startDaemon(const std::vector<std::string>& environment,
                                          const std::vector<std::string>& command) {
  std::vector<std::string> deathSignal{"/usr/bin/setpriv", "--pdeathsig", "KILL"};
  deathSignal.insert(deathSignal.end(), command.begin(), command.end());
  return std::make_unique<ChildProcess>("/usr/bin/env", isolated(environment, deathSignal));
}

}  // namespace

SoundServer::SoundServer(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  socket_ = directory_ + "/native";
  janitor_ =
      std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{"-c", "read _; rm -rf \"$0\"", directory_});
}

// The daemons are gone by now (the derived server ends them first).
SoundServer::~SoundServer() { janitor_->wait(); }

void SoundServer::waitFor(const std::vector<std::string>& pactlArgs, const std::string& output) const {
  const bool up = eventually(
      [&] {
        const auto run = runProcess("/usr/bin/pactl", pactlArgs, {}, environment());
        return run.exit.status == 0 && (output.empty() || run.output == output);
      },
      std::chrono::seconds(30));
  if (!up) throw std::runtime_error("the sound server in " + directory_ + " did not come up");
}

int SoundServer::pactl(const std::vector<std::string>& args) const {
  return runProcess("/usr/bin/pactl", args, {}, environment()).exit.status;
}

std::unique_ptr<ChildProcess> SoundServer::recordMonitor() const {
  auto recorder = std::make_unique<ChildProcess>(
      "/usr/bin/parec",
      std::vector<std::string>{"-d", "blackhole.monitor", "--format=s16le", "--channels=2", "--rate=16000", "--raw",
                               "--latency-msec=10"},
      environment());
  std::size_t heard = 0;
  for (int i = 0; i < 100 && heard < 6400; ++i) heard += recorder->readAll(std::chrono::milliseconds(20)).size();
  return recorder;
}

PulseServer::PulseServer() : SoundServer("morvik-pulse") {
  server_ = startDaemon({"HOME=" + directory_, "XDG_RUNTIME_DIR=" + directory_},
                        // Its log goes to a file: a full pipe of warnings would stall the server.
                        {"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                         "--log-target=file:" + directory_ + "/log", "-L",
                         "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1",
                         // As a desktop session's server does: an unused sink is suspended.
                         "-L", "module-suspend-on-idle timeout=1"});
  waitFor({"info"});
  // The device as the documentation tells a user to make it.
  runProcess(MORVIK_VIRTUAL_MIC_DEVICE, {}, {}, environment());
}

std::string documentedBlock(const std::string& file, const std::string& marker) {
  std::ifstream in(file);
  std::string line, block;
  while (std::getline(in, line) && line.find(marker) == std::string::npos) {
  }
  std::size_t indent = std::string::npos;
  while (std::getline(in, line)) {
    const auto text = line.find_first_not_of(' ');
    const bool fence = text != std::string::npos && line.compare(text, 3, "```") == 0;
    if (fence && indent != std::string::npos) return block;
    if (fence) indent = text;
    if (!fence && indent != std::string::npos) block += line.substr(std::min(indent, line.size())) + "\n";
  }
  throw std::runtime_error("no code block after \"" + marker + "\" in " + file);
}

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
