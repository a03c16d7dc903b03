// morvik-ble: the keyboard link, driven over standard input and output.
#include "ble/morvik_ble.h"
#include "ble/platform_central.h"
#include "channel/output.h"
#include "channel/reader.h"

namespace {
// The one bridge of the process, never destroyed.
morvik::ble::MorvikBLE* bridge = nullptr;
}  // namespace

int main() {
  using namespace morvik;
  channel::prepareProcess();
  auto loop = channel::makePlatformLoop();
  bridge = new ble::MorvikBLE(channel::standardOutput(), *loop, ble::platformCentralFactory(*loop));
  channel::startReader(*loop, {.fd = 0,
                               .limit = channel::bleLineLimit,
                               .receive = [](channel::Json request) { bridge->receive(request); },
                               .atEnd = {},
                               .exit = [] { channel::exitProcess(); }});
  loop->run();
  return 0;
}
