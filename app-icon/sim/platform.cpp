#include "app-icon/sim/sim_icons.h"

namespace morvik::appicon {

std::unique_ptr<IconRenderer> makeIconRenderer() { return std::make_unique<sim::SimIcons>(); }

}  // namespace morvik::appicon
