#pragma once

#include <string>
#include <vector>

#include "app-icon/icon_renderer.h"
#include "channel/output.h"

namespace morvik::appicon {

inline constexpr int iconSize = 128;

// The whole program: exactly one argument, a path that ends in ".app"
// (letter case counting) and exists, else status 2; the icon as a 128 x 128
// PNG in one write and status 0; status 3 when it cannot be drawn or
// encoded. Nothing is written on failure.
int renderAppIcon(const std::vector<std::string>& arguments, IconRenderer& renderer, channel::Output& out);

}  // namespace morvik::appicon
