#pragma once

// A reader of Apple's .icns container: where its usable images lie (PNG
// ones, classic RGB ones with their 8-bit masks, and the small ARGB ones),
// each decoded only when it is the one drawn. JPEG 2000 images are skipped.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "app-icon/linux/icon_pixels.h"

namespace morvik::appicon::linux {

// Fills `out` from `offset` of the file; false when the file has fewer bytes.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;

// `data` as a file.
ReadAt memoryReader(std::span<const std::uint8_t> data);

struct IcnsImage {
  enum class Kind { png, argb, rgb };
  Kind kind = Kind::png;
  int size = 0;                                  // pixels a side
  std::uint64_t offset = 0, length = 0;          // the element's body
  std::uint64_t maskOffset = 0, maskLength = 0;  // an RGB image's mask, if any
};

// The file's images, at most one per element type; none when it is no .icns
// file. A malformed element ends the reading.
std::optional<std::vector<IcnsImage>> readIcns(const ReadAt& read, std::uint64_t fileSize);

// The images in the order to try for `size`: the smallest at least that
// big first, then the bigger ones, then the smaller ones from the biggest.
std::vector<IcnsImage> byPreference(std::vector<IcnsImage> images, int size);

// One image decoded and reduced for `target`; none when it is damaged.
std::optional<Pixels> decodeImage(const IcnsImage& image, const ReadAt& read, int target);

// The best image of the file that decodes, reduced for `target`.
std::optional<Pixels> icnsIcon(const ReadAt& read, std::uint64_t fileSize, int target);

}  // namespace morvik::appicon::linux
