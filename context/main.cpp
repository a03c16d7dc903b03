// morvik-context: the user's working context. With no arguments it writes a
// snapshot at once and then every 0.6 seconds until it is terminated; with
// "--check-save" anywhere on the command line it answers one save check.
#include <chrono>
#include <cstdlib>
#include <string_view>

#include <poll.h>

#include "channel/output.h"
#include "context/platform_context.h"
#include "context/save_check.h"
#include "context/snapshot.h"

namespace {
constexpr auto snapshotInterval = std::chrono::milliseconds(600);

// Whether nobody can read our output any more (the application is gone).
bool outputClosed() {
  pollfd out{1, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLNVAL)) != 0;
}

void emitSnapshot(const morvik::context::Environment& environment) {
  morvik::channel::emit(morvik::channel::standardOutput(), morvik::context::snapshot(environment));
  if (outputClosed()) std::exit(0);
}
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
  emitSnapshot(environment);
  // A tick that runs late delays the next one; missed ticks are not queued.
  const auto timer = loop->schedule(snapshotInterval, true, [&] { emitSnapshot(environment); });
  loop->run();
  return 0;
}
