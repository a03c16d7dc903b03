#include "app-icon/png_writer.h"

#include <zlib.h>

#include <array>
#include <string_view>

namespace morvik::appicon {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void chunk(std::vector<std::uint8_t>& png, std::string_view type, const std::vector<std::uint8_t>& data) {
  put32(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type.begin(), type.end());
  png.insert(png.end(), data.begin(), data.end());
  const uLong crc = crc32(0, png.data() + start, static_cast<uInt>(png.size() - start));
  put32(png, static_cast<std::uint32_t>(crc));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) {
  const auto rowBytes = static_cast<std::size_t>(bitmap.width) * 4;
  if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.rgba.size() != rowBytes * bitmap.height) return std::nullopt;
  // Each row after its filter byte: "Sub", which suits an icon's smooth rows.
  std::vector<std::uint8_t> filtered;
  filtered.reserve((rowBytes + 1) * bitmap.height);
  for (int y = 0; y < bitmap.height; ++y) {
    const std::uint8_t* row = bitmap.rgba.data() + rowBytes * y;
    filtered.push_back(1);
    for (std::size_t x = 0; x < rowBytes; ++x)
      filtered.push_back(static_cast<std::uint8_t>(row[x] - (x >= 4 ? row[x - 4] : 0)));
  }
  uLongf compressedSize = compressBound(static_cast<uLong>(filtered.size()));
  std::vector<std::uint8_t> compressed(compressedSize);
  if (compress2(compressed.data(), &compressedSize, filtered.data(), static_cast<uLong>(filtered.size()), 6) != Z_OK)
    return std::nullopt;
  compressed.resize(compressedSize);

  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  put32(header, static_cast<std::uint32_t>(bitmap.width));
  put32(header, static_cast<std::uint32_t>(bitmap.height));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, adaptive filters, no interlace
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", compressed);
  chunk(png, "IEND", {});
  return png;
}

}  // namespace morvik::appicon
