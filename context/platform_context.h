#pragma once

#include <memory>

#include "context/accessibility.h"

namespace morvik::context {

// The monitor counts input from its start (where the platform keeps no
// session counters, Linux); the save check needs no counters.
enum class Mode { monitor, saveCheck };

// The accessibility interface and input sources of the platform
// morvik-context is built for: macOS, X11 with AT-SPI, or a simulated desktop.
class ContextPlatform {
 public:
  virtual ~ContextPlatform() = default;
  virtual Accessibility& accessibility() = 0;
  virtual InputState& input() = 0;
};

std::unique_ptr<ContextPlatform> makeContextPlatform(Mode mode);

}  // namespace morvik::context
