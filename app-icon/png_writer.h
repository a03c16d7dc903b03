#pragma once

#include <cstdint>
#include <vector>

#include "app-icon/icon_renderer.h"

namespace morvik::appicon {

// The bitmap as a PNG file: 8-bit RGBA, zlib-compressed rows. None when the
// bitmap is malformed or compression fails.
std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap);

}  // namespace morvik::appicon
