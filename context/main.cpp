// morvik-context: the user's working context. With no arguments it writes a
// snapshot at once and then every 0.6 seconds until it is terminated; with
// "--check-save" anywhere on the command line it answers one save check.
#include <string_view>

#include "channel/output.h"
#include "context/platform_context.h"
#include "context/save_check.h"
#include "context/snapshot.h"

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
  const auto monitor = context::startMonitor(environment, channel::standardOutput());
  loop->run();
  return 0;
}
