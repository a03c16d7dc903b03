#pragma once

// A simulated icon source for tests, demos and app development: a real
// file system, and for any existing path a generated icon (a rounded square
// in colours taken from the path, with a lighter disc), drawn the same way
// every time; drawing or encoding fails on demand.

#include <string>

#include "app-icon/icon_renderer.h"

namespace morvik::appicon::sim {

class SimIcons final : public IconRenderer {
 public:
  bool exists(const std::string& path) override;
  std::optional<Bitmap> drawIcon(const std::string& path, int size) override;
  std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) override;

  bool drawingFails = false;
  bool encodingFails = false;
};

}  // namespace morvik::appicon::sim
