#include "app-icon/linux/icns.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

namespace morvik::appicon::linux {
namespace {

using Kind = IcnsImage::Kind;

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Element types by their size: those that hold a PNG (or JPEG 2000), of
// which the two smallest may hold an ARGB image instead; the classic RGB
// images and their masks.
const std::map<std::string_view, int> pngTypes = {
    {"icp4", 16}, {"icp5", 32}, {"icp6", 64},  {"ic07", 128}, {"ic08", 256}, {"ic09", 512}, {"ic10", 1024},
    {"ic11", 32}, {"ic12", 64}, {"ic13", 256}, {"ic14", 512}, {"ic04", 16},  {"ic05", 32},
};
const std::map<std::string_view, int> rgbTypes = {{"is32", 16}, {"il32", 32}, {"ih32", 48}, {"it32", 128}};
const std::map<std::string_view, int> maskTypes = {{"s8mk", 16}, {"l8mk", 32}, {"h8mk", 48}, {"t8mk", 128}};

constexpr std::array<std::uint8_t, 8> pngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A real 1024-pixel PNG is a few megabytes and a real file has a few dozen
// elements: a bigger element is not read, and the walk ends after the most.
constexpr std::uint64_t largestElement = 16 * 1024 * 1024;
constexpr int mostElements = 1000;

// The pixels decoded for one file, failed attempts included: one 2048-pixel
// image or four of the biggest real ones, so damaged images cannot multiply
// the work.
constexpr std::uint64_t pixelBudget = 2048ull * 2048;

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

// A classic RGB image: run-length planes, or for the small sizes
// uncompressed pixels of four bytes.
std::optional<std::vector<std::uint8_t>> decodeRGB(std::span<const std::uint8_t> data, int size) {
  const std::size_t pixels = static_cast<std::size_t>(size) * size;
  if (data.size() == pixels * 4) {
    std::vector<std::uint8_t> rgba(pixels * 4, 255);
    for (std::size_t i = 0; i < pixels; ++i) std::memcpy(&rgba[i * 4], &data[i * 4 + 1], 3);
    return rgba;
  }
  const auto planes = unpack(data, pixels * 3);
  if (!planes) return std::nullopt;
  return interleave(*planes, size, 3, 0);
}

std::optional<std::vector<std::uint8_t>> bytesAt(const ReadAt& read, std::uint64_t offset, std::uint64_t length) {
  std::vector<std::uint8_t> bytes(length);
  if (!read(offset, bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

ReadAt memoryReader(std::span<const std::uint8_t> data) {
  return [data](std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > data.size() || out.size() > data.size() - offset) return false;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  };
}

std::optional<std::vector<IcnsImage>> readIcns(const ReadAt& read, std::uint64_t fileSize) {
  std::array<std::uint8_t, 8> header{};
  if (!read(0, header) || std::memcmp(header.data(), "icns", 4) != 0) return std::nullopt;
  const std::uint64_t end = std::min<std::uint64_t>(bigEndian32(header.data() + 4), fileSize);
  // Only where each element lies is kept, the first of each type.
  std::map<std::string_view, IcnsImage> images;
  std::map<int, std::pair<std::uint64_t, std::uint64_t>> masks;
  int elements = 0;
  for (std::uint64_t at = 8; at + 8 <= end && elements++ < mostElements;) {
    if (!read(at, header)) break;
    const std::string type(reinterpret_cast<const char*>(header.data()), 4);
    const std::uint64_t length = bigEndian32(header.data() + 4);
    if (length < 8 || length > end - at) break;
    const std::uint64_t body = at + 8, bodyLength = length - 8;
    at += length;
    if (bodyLength > largestElement) continue;
    if (const auto found = pngTypes.find(type); found != pngTypes.end() && images.count(found->first) == 0) {
      std::array<std::uint8_t, 8> start{};
      if (bodyLength < start.size() || !read(body, start)) continue;
      if (start == pngSignature) {
        images[found->first] = {Kind::png, found->second, body, bodyLength};
      } else if ((type == "ic04" || type == "ic05") && std::memcmp(start.data(), "ARGB", 4) == 0) {
        images[found->first] = {Kind::argb, found->second, body + 4, bodyLength - 4};
      }
    } else if (const auto rgb = rgbTypes.find(type); rgb != rgbTypes.end() && images.count(rgb->first) == 0) {
      // it32 data starts after four zero bytes.
      const std::uint64_t skip = type == "it32" ? std::min<std::uint64_t>(4, bodyLength) : 0;
      images[rgb->first] = {Kind::rgb, rgb->second, body + skip, bodyLength - skip};
    } else if (const auto mask = maskTypes.find(type); mask != maskTypes.end()) {
      masks.try_emplace(mask->second, body, bodyLength);
    }
  }
  std::vector<IcnsImage> found;
  for (auto& [type, image] : images) {
    if (const auto mask = masks.find(image.size); image.kind == Kind::rgb && mask != masks.end())
      std::tie(image.maskOffset, image.maskLength) = mask->second;
    found.push_back(image);
  }
  return found;
}

std::vector<IcnsImage> byPreference(std::vector<IcnsImage> images, int size) {
  std::stable_sort(images.begin(), images.end(), [size](const IcnsImage& a, const IcnsImage& b) {
    const bool aBigEnough = a.size >= size, bBigEnough = b.size >= size;
    if (aBigEnough != bBigEnough) return aBigEnough;
    return aBigEnough ? a.size < b.size : a.size > b.size;
  });
  return images;
}

std::optional<Pixels> decodeImage(const IcnsImage& image, const ReadAt& read, int target) {
  const auto body = bytesAt(read, image.offset, image.length);
  if (!body) return std::nullopt;
  if (image.kind == Kind::png) return decodePNG(*body, target);
  const std::size_t pixels = static_cast<std::size_t>(image.size) * image.size;
  std::optional<std::vector<std::uint8_t>> rgba;
  if (image.kind == Kind::argb) {
    const auto planes = unpack(*body, pixels * 4);
    if (planes) rgba = interleave(*planes, image.size, 4, 3);
  } else {
    rgba = decodeRGB(*body, image.size);
    const auto mask = image.maskLength == pixels ? bytesAt(read, image.maskOffset, pixels) : std::nullopt;
    if (rgba && mask)
      for (std::size_t i = 0; i < pixels; ++i) (*rgba)[i * 4 + 3] = (*mask)[i];
  }
  if (!rgba) return std::nullopt;
  return reducePixels(*rgba, image.size, target);
}

std::optional<Pixels> icnsIcon(const ReadAt& read, std::uint64_t fileSize, int target) {
  const auto images = readIcns(read, fileSize);
  if (!images) return std::nullopt;
  std::uint64_t budget = pixelBudget;
  for (const auto& image : byPreference(*images, target)) {
    // A PNG's size stands in its header, which libpng requires first.
    std::uint64_t pixels = static_cast<std::uint64_t>(image.size) * image.size;
    std::array<std::uint8_t, 24> header{};
    if (image.kind == Kind::png && read(image.offset, header))
      pixels = static_cast<std::uint64_t>(bigEndian32(&header[16])) * bigEndian32(&header[20]);
    if (pixels > budget) continue;
    budget -= pixels;
    if (auto icon = decodeImage(image, read, target)) return icon;
  }
  return std::nullopt;
}

}  // namespace morvik::appicon::linux
