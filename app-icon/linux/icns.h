#pragma once

// A reader of Apple's .icns container: the images it can use, PNG-based
// ones as their PNG bytes and the classic RGB (with its 8-bit mask) and
// ARGB ones decoded to pixels. JPEG 2000 images are skipped.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morvik::appicon::linux {

struct IcnsImage {
  int size = 0;                    // pixels a side
  std::vector<std::uint8_t> png;   // a PNG-based image, else empty
  std::vector<std::uint8_t> rgba;  // a decoded image: size x size RGBA, not premultiplied
};

// None when the data is no .icns file; a malformed element ends the reading.
std::optional<std::vector<IcnsImage>> readIcns(std::span<const std::uint8_t> data);

// The image to scale to `size`: the smallest at least that big, else the biggest.
const IcnsImage* nearestImage(const std::vector<IcnsImage>& images, int size);

}  // namespace morvik::appicon::linux
