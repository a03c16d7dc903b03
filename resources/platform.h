#pragma once

#include <memory>

#include "resources/gauges.h"

namespace morvik::resources {

// The gauges of the platform morvik-resources is built for.
std::unique_ptr<ResourcePlatform> makeResourcePlatform();

}  // namespace morvik::resources
