#include "testsupport/pulse_server.h"

namespace morvik::testing {

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

PulseServer::~PulseServer() = default;

}  // namespace morvik::testing
