// morvik-permissions: reports the Bluetooth, accessibility and speech
// recognition permissions as one line, after asking the user for one of
// them when the command says so. Exit status 0 after the report, 2 for an
// unknown command (nothing written).
#include <cstdlib>
#include <string>
#include <vector>

#include "channel/output.h"
#include "permissions/permission_probe.h"

namespace {
// The one probe of the process, never destroyed.
morvik::permissions::PermissionProbe* probe = nullptr;
}  // namespace

int main(int argc, char** argv) {
  using namespace morvik;
  channel::prepareProcess();
  auto loop = channel::makePlatformLoop();
  auto* source = permissions::makePermissionSource(*loop).release();
  // Nothing is buffered: the process ends at once.
  probe = new permissions::PermissionProbe(*source, *loop, channel::standardOutput(),
                                           [](int status) { std::_Exit(status); });
  probe->run(std::vector<std::string>(argv + 1, argv + argc));
  loop->run();
  return 0;
}
