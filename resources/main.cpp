// morvik-resources: one sample of the GPU, fan and memory gauges, printed as
// one JSON object without a line feed. No argument or input is read, nothing
// goes to standard error, and the exit status is always 0.
#include "channel/output.h"
#include "resources/platform.h"

int main() {
  using namespace morvik;
  channel::prepareProcess();
  const auto platform = resources::makeResourcePlatform();
  channel::emitWithoutLineFeed(channel::standardOutput(), resources::sampleObject(resources::sample(*platform)));
  return 0;
}
