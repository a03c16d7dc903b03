#include "context/platform_context.h"
#include "context/sim/sim_desktop.h"

namespace morvik::context {

std::unique_ptr<ContextPlatform> makeContextPlatform(Mode) { return sim::makeDefaultDesktop(); }

}  // namespace morvik::context
