#pragma once

// What morvik-app-icon relies on: whether something exists at a path, the
// icon the platform shows for a path drawn into a square RGBA bitmap, and
// PNG encoding. Drawing and encoding can fail.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvik::appicon {

// 8 bits a sample, red, green, blue, alpha (not premultiplied), row by row.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

class IconRenderer {
 public:
  virtual ~IconRenderer() = default;
  virtual bool exists(const std::string& path) = 0;
  // The icon of the path, drawn whole into a `size` x `size` bitmap.
  virtual std::optional<Bitmap> drawIcon(const std::string& path, int size) = 0;
  virtual std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) = 0;
};

// The renderer of the platform morvik-app-icon is built for.
std::unique_ptr<IconRenderer> makeIconRenderer();

}  // namespace morvik::appicon
