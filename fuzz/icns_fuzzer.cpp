// An .icns file from a bundle: whatever the bytes, the reader stays within
// them, lists at most one image per element type, and each image decodes to
// no more pixels than its reduction allows, or to nothing.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "app-icon/linux/icns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik::appicon::linux;
  const auto read = memoryReader(std::span<const std::uint8_t>(data, size));
  const auto images = readIcns(read, size);
  if (!images) return 0;
  if (images->size() > 21) std::abort();
  for (const auto& image : byPreference(*images, 128)) {
    if (image.offset + image.length > size) std::abort();
    const auto pixels = decodeImage(image, read, 128);
    if (pixels && (pixels->argb.size() != static_cast<std::size_t>(pixels->width) * pixels->height ||
                   pixels->width > 1024 || pixels->height > 1024))
      std::abort();
  }
  return 0;
}
