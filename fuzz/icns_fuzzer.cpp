// An .icns file from a bundle: whatever the bytes, the reader stays within
// them, every decoded image has exactly its size's pixels, and each PNG in
// it decodes to no more pixels than its reduction allows, or to nothing.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "app-icon/linux/icns.h"
#include "app-icon/linux/icon_pixels.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto images = morvik::appicon::linux::readIcns(std::span<const std::uint8_t>(data, size));
  if (!images) return 0;
  for (const auto& image : *images) {
    if (image.png.empty() && image.rgba.size() != static_cast<std::size_t>(image.size) * image.size * 4) std::abort();
    if (!image.png.empty() && !image.rgba.empty()) std::abort();
    const auto pixels = image.png.empty() ? morvik::appicon::linux::reducePixels(image.rgba, image.size, 128)
                                          : morvik::appicon::linux::decodePNG(image.png, 128);
    if (pixels && pixels->argb.size() != static_cast<std::size_t>(pixels->width) * pixels->height) std::abort();
  }
  morvik::appicon::linux::nearestImage(*images, 128);
  return 0;
}
