#include "app-icon/linux/icns.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string_view>

namespace morvik::appicon::linux {
namespace {

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Element types: those that hold a PNG (or JPEG 2000), by their size.
const std::map<std::string_view, int> pngTypes = {
    {"icp4", 16}, {"icp5", 32}, {"icp6", 64},  {"ic07", 128}, {"ic08", 256}, {"ic09", 512}, {"ic10", 1024},
    {"ic11", 32}, {"ic12", 64}, {"ic13", 256}, {"ic14", 512}, {"ic04", 16},  {"ic05", 32},
};
// Classic RGB images and their masks.
const std::map<std::string_view, int> rgbTypes = {{"is32", 16}, {"il32", 32}, {"ih32", 48}, {"it32", 128}};
const std::map<std::string_view, int> maskTypes = {{"s8mk", 16}, {"l8mk", 32}, {"h8mk", 48}, {"t8mk", 128}};

constexpr std::array<std::uint8_t, 8> pngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The icns run-length code: a byte n below 0x80 is followed by n + 1 literal
// bytes, one from 0x80 by one byte repeated n - 0x80 + 3 times. Exactly
// `count` bytes, or none when the data runs out first.
std::optional<std::vector<std::uint8_t>> unpack(std::span<const std::uint8_t> data, std::size_t count) {
  std::vector<std::uint8_t> out;
  out.reserve(count);
  std::size_t at = 0;
  while (out.size() < count) {
    if (at >= data.size()) return std::nullopt;
    const std::uint8_t n = data[at++];
    if (n < 0x80) {
      const std::size_t run = std::min<std::size_t>(n + 1, count - out.size());
      if (at + run > data.size()) return std::nullopt;
      out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                 data.begin() + static_cast<std::ptrdiff_t>(at + run));
      at += n + 1;
    } else {
      if (at >= data.size()) return std::nullopt;
      const std::size_t run = std::min<std::size_t>(n - 0x80 + 3, count - out.size());
      out.insert(out.end(), run, data[at++]);
    }
  }
  return out;
}

// Planes one after the other (channels of size x size each) to RGBA; the
// planes start at `first` of the RGBA channels.
std::vector<std::uint8_t> interleave(const std::vector<std::uint8_t>& planes, int size, int channels, int first) {
  const std::size_t pixels = static_cast<std::size_t>(size) * size;
  std::vector<std::uint8_t> rgba(pixels * 4, 255);
  for (int channel = 0; channel < channels; ++channel)
    for (std::size_t i = 0; i < pixels; ++i)
      rgba[i * 4 + static_cast<std::size_t>((first + channel) % 4)] = planes[channel * pixels + i];
  return rgba;
}

// A classic RGB image: run-length planes (it32 after four zero bytes), or
// for the small sizes uncompressed pixels of four bytes.
std::optional<std::vector<std::uint8_t>> decodeRGB(std::string_view type, std::span<const std::uint8_t> data,
                                                   int size) {
  const std::size_t pixels = static_cast<std::size_t>(size) * size;
  if (data.size() == pixels * 4) {
    std::vector<std::uint8_t> rgba(pixels * 4, 255);
    for (std::size_t i = 0; i < pixels; ++i) std::memcpy(&rgba[i * 4], &data[i * 4 + 1], 3);
    return rgba;
  }
  if (type == "it32") data = data.size() >= 4 ? data.subspan(4) : std::span<const std::uint8_t>{};
  const auto planes = unpack(data, pixels * 3);
  if (!planes) return std::nullopt;
  return interleave(*planes, size, 3, 0);
}

}  // namespace

std::optional<std::vector<IcnsImage>> readIcns(std::span<const std::uint8_t> data) {
  if (data.size() < 8 || std::memcmp(data.data(), "icns", 4) != 0) return std::nullopt;
  const std::size_t end = std::min<std::size_t>(bigEndian32(data.data() + 4), data.size());
  std::vector<IcnsImage> images;
  std::map<int, std::span<const std::uint8_t>> masks;
  std::vector<std::pair<std::string_view, std::span<const std::uint8_t>>> rgb;
  for (std::size_t at = 8; at + 8 <= end;) {
    const std::string_view type(reinterpret_cast<const char*>(data.data() + at), 4);
    const std::size_t length = bigEndian32(data.data() + at + 4);
    if (length < 8 || length > end - at) break;
    const auto body = data.subspan(at + 8, length - 8);
    at += length;
    if (const auto found = pngTypes.find(type); found != pngTypes.end()) {
      const int size = found->second;
      if (body.size() >= pngSignature.size() && std::equal(pngSignature.begin(), pngSignature.end(), body.begin())) {
        images.push_back({size, {body.begin(), body.end()}, {}});
      } else if (body.size() >= 4 && std::memcmp(body.data(), "ARGB", 4) == 0) {
        const auto planes = unpack(body.subspan(4), static_cast<std::size_t>(size) * size * 4);
        if (planes) images.push_back({size, {}, interleave(*planes, size, 4, 3)});
      }
    } else if (rgbTypes.count(type) != 0) {
      rgb.emplace_back(rgbTypes.find(type)->first, body);
    } else if (const auto mask = maskTypes.find(type); mask != maskTypes.end()) {
      masks[mask->second] = body;
    }
  }
  for (const auto& [type, body] : rgb) {
    const int size = rgbTypes.at(type);
    auto rgba = decodeRGB(type, body, size);
    if (!rgba) continue;
    const std::size_t pixels = static_cast<std::size_t>(size) * size;
    if (const auto mask = masks.find(size); mask != masks.end() && mask->second.size() == pixels)
      for (std::size_t i = 0; i < pixels; ++i) (*rgba)[i * 4 + 3] = mask->second[i];
    images.push_back({size, {}, std::move(*rgba)});
  }
  return images;
}

const IcnsImage* nearestImage(const std::vector<IcnsImage>& images, int size) {
  const IcnsImage* best = nullptr;
  for (const auto& image : images) {
    if (best == nullptr) {
      best = &image;
      continue;
    }
    const bool bigEnough = image.size >= size, bestBigEnough = best->size >= size;
    if (bigEnough != bestBigEnough ? bigEnough : (bigEnough ? image.size < best->size : image.size > best->size))
      best = &image;
  }
  return best;
}

}  // namespace morvik::appicon::linux
