#pragma once

// An icon's pixels reduced on the way in: a large image is averaged by
// blocks while it is decoded, row by row, so a 1024-pixel icon never sits
// in memory whole and costs one pass.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morvik::appicon::linux {

// Premultiplied pixels in cairo's order: 0xAARRGGBB in native 32-bit words.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> argb;
};

// The block side that brings `width` x `height` down to no less than twice
// `size`, so the final scale to `size` still has pixels to filter.
int reduction(int width, int height, int size);

// Straight RGBA pixels in, each block of `factor` x `factor` pixels out as
// its premultiplied mean. Rows and columns left over at the edge are dropped.
// Rows come in order and only one row of sums is kept, or, for an interlaced
// image (`wholeImage`), pixels come anywhere and every block has its sums.
class BoxReducer {
 public:
  BoxReducer(int width, int height, int factor, bool wholeImage = false);
  void addRow(const std::uint8_t* rgba);
  // `count` pixels of row `y`, at columns first, first + step, ...
  void addPixels(int y, const std::uint8_t* rgba, int count, int first, int step);
  Pixels finish();

 private:
  void add(int x, int y, const std::uint8_t* pixel);
  void emitRow(std::uint32_t* sums);

  int factor_;
  int rowsIn_ = 0;
  std::vector<std::uint32_t> sums_;  // per output pixel: red, green, blue weighted by alpha, and alpha
  bool wholeImage_;
  Pixels out_;
};

// A decoded RGBA image of `size` pixels a side, ready to scale to `target`.
Pixels reducePixels(std::span<const std::uint8_t> rgba, int size, int target);

// A PNG of any colour type, decoded and reduced for `target`; none when it
// cannot be read or is larger than any icon.
std::optional<Pixels> decodePNG(std::span<const std::uint8_t> png, int target);

}  // namespace morvik::appicon::linux
