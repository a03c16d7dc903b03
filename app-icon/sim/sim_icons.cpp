#include "app-icon/sim/sim_icons.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app-icon/png_writer.h"

namespace morvik::appicon::sim {
namespace {

std::uint32_t fnv1a(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (const unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

}  // namespace

bool SimIcons::exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::optional<Bitmap> SimIcons::drawIcon(const std::string& path, int size) {
  if (drawingFails || size <= 0) return std::nullopt;
  const std::uint32_t hash = fnv1a(path);
  const std::uint8_t red = hash & 0xFF, green = (hash >> 8) & 0xFF, blue = (hash >> 16) & 0xFF;
  Bitmap bitmap{size, size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
  const double corner = size * 0.2, middle = size / 2.0;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      // Inside the rounded square: the distance past the inner square's corner.
      const double dx = std::max({corner - x - 0.5, x + 0.5 - (size - corner), 0.0});
      const double dy = std::max({corner - y - 0.5, y + 0.5 - (size - corner), 0.0});
      const bool inside = std::hypot(dx, dy) <= corner;
      const bool disc = std::hypot(x + 0.5 - middle, y + 0.5 - middle) <= size * 0.28;
      std::uint8_t* pixel = bitmap.rgba.data() + (static_cast<std::size_t>(y) * size + x) * 4;
      const double shade = 0.6 + 0.4 * y / size;
      pixel[0] = disc ? 255 : static_cast<std::uint8_t>(red * shade);
      pixel[1] = disc ? 255 : static_cast<std::uint8_t>(green * shade);
      pixel[2] = disc ? 255 : static_cast<std::uint8_t>(blue * shade);
      pixel[3] = inside ? 255 : 0;
    }
  }
  return bitmap;
}

std::optional<std::vector<std::uint8_t>> SimIcons::encodePNG(const Bitmap& bitmap) {
  if (encodingFails) return std::nullopt;
  return appicon::encodePNG(bitmap);
}

}  // namespace morvik::appicon::sim
