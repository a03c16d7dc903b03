// morvik-context: the user's working context. With no arguments it writes a
// snapshot at once and then every 0.6 seconds until it is terminated; with
// "--check-save" anywhere on the command line it answers one save check.
#include <cstdlib>
#include <string_view>

#include <poll.h>

#include "channel/output.h"
#include "context/platform_context.h"
#include "context/save_check.h"
#include "context/snapshot.h"

namespace {

// Standard output that ends the monitor once nobody can read it any more (the
// application is gone): reading other programs' windows for no one is waste.
// A pipe without a reader shows POLLERR; a socket whose peer closed (as some
// runtimes hand their children) shows POLLHUP and fails the write.
class MonitorOutput final : public morvik::channel::Output {
 public:
  bool write(std::string_view bytes) override {
    pollfd out{1, 0, 0};
    if (!morvik::channel::standardOutput().write(bytes) ||
        (::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0))
      std::exit(0);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace morvik;
  channel::prepareProcess();
  context::browsers();
  bool checking = false;
  for (int i = 1; i < argc; ++i) checking = checking || std::string_view(argv[i]) == "--check-save";
  auto loop = channel::makePlatformLoop();
  const auto platform = context::makeContextPlatform(checking ? context::Mode::saveCheck : context::Mode::monitor);
  const context::Environment environment{platform->accessibility(), platform->input(), *loop};
  if (checking) {
    context::checkSave(environment, 0, channel::standardOutput());
    return 0;
  }
  MonitorOutput output;
  const auto monitor = context::startMonitor(environment, output);
  loop->run();
  return 0;
}
