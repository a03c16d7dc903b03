// Test-only helper: answers every accepted request line with the same
// object, through the real reader, main loop and emit. The first argument
// is the line limit (1024 when absent).
#include <cstdlib>
#include <string>

#include "channel/output.h"
#include "channel/reader.h"

int main(int argc, char** argv) {
  using namespace morvik::channel;
  prepareProcess();
  const std::size_t limit = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : bleLineLimit;
  auto loop = makePlatformLoop();
  startReader(*loop, {.fd = 0,
                      .limit = limit,
                      .receive = [](Json request) { emit(standardOutput(), request); },
                      .atEnd = {},
                      .exit = [] { exitProcess(); }});
  loop->run();
  return 0;
}
