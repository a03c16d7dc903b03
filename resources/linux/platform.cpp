#include "resources/platform.h"

#include "resources/linux/linux_resources.h"

namespace morvik::resources {

std::unique_ptr<ResourcePlatform> makeResourcePlatform() {
  return std::make_unique<LinuxResources>("/", &nvmlUtilisations);
}

}  // namespace morvik::resources
