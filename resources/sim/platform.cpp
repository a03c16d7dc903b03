#include "resources/platform.h"

namespace morvik::resources {
namespace {

// A machine with one busy GPU, one fan and half its memory in use, for
// developing the application without reading the real gauges.
class SimResources final : public ResourcePlatform {
 public:
  std::vector<double> gpuUtilisations() override { return {23}; }
  std::optional<double> fanSpeed() override { return 1850; }
  std::optional<double> memoryInUse() override { return 47.5; }
};

}  // namespace

std::unique_ptr<ResourcePlatform> makeResourcePlatform() { return std::make_unique<SimResources>(); }

}  // namespace morvik::resources
