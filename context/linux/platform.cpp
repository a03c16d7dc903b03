#include "context/linux/atspi_accessibility.h"
#include "context/linux/x11_session.h"
#include "context/platform_context.h"

namespace morvik::context {
namespace {

class LinuxContext final : public ContextPlatform {
 public:
  explicit LinuxContext(Mode mode) : x11_(mode == Mode::monitor), accessibility_(x11_) {}
  Accessibility& accessibility() override { return accessibility_; }
  InputState& input() override { return x11_; }

 private:
  linux::X11Session x11_;
  linux::AtspiAccessibility accessibility_;
};

}  // namespace

std::unique_ptr<ContextPlatform> makeContextPlatform(Mode mode) { return std::make_unique<LinuxContext>(mode); }

}  // namespace morvik::context
