// The command line, the exit statuses and the one write, against the
// simulated icons; and the .icns reader's decoding and choice, and the
// reduction of the chosen image.
#include "app-icon/app_icon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app-icon/sim/sim_icons.h"
#ifdef MORVIK_ICNS
#include <zlib.h>

#include <cstdlib>
#include <new>

#include "app-icon/linux/icns.h"
#include "app-icon/linux/icon_pixels.h"

// The largest single allocation through operator new, to see that a decoder
// does not size its buffers by what a header claims. Every form that the
// sanitizers would otherwise pair with their own is replaced.
static std::size_t largestAllocation = 0;
static void* allocate(std::size_t size) noexcept {
  largestAllocation = std::max(largestAllocation, size);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size) {
  if (void* memory = allocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
// Not inlined, where an optimising compiler would take free() after new for a mismatch.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#endif

namespace morvik::appicon {
namespace {

TEST(AppIcon, ArgumentsStatusesAndOneWrite) {
  const auto bundle = std::filesystem::path(::testing::TempDir()) / "Notes.app";
  std::filesystem::create_directories(bundle);
  const struct {
    std::vector<std::string> arguments;
    bool drawingFails, encodingFails;
    int status;
  } cases[] = {
      {{}, false, false, 2},
      {{bundle, bundle}, false, false, 2},
      {{bundle.string() + "/"}, false, false, 2},
      {{(bundle.parent_path() / "Notes.APP").string()}, false, false, 2},
      {{(bundle.parent_path() / "Missing.app").string()}, false, false, 2},
      {{bundle}, true, false, 3},
      {{bundle}, false, true, 3},
      {{bundle}, false, false, 0},
  };
  for (const auto& c : cases) {
    sim::SimIcons icons;
    icons.drawingFails = c.drawingFails;
    icons.encodingFails = c.encodingFails;
    channel::RecordingOutput out;
    EXPECT_EQ(renderAppIcon(c.arguments, icons, out), c.status) << c.arguments.size();
    EXPECT_EQ(out.writes.size(), c.status == 0 ? 1u : 0u) << "the PNG in one write, nothing on failure";
  }
  // Standard output that does not take the PNG is no success.
  sim::SimIcons icons;
  channel::FdOutput refused(-1);
  EXPECT_EQ(renderAppIcon({bundle}, icons, refused), 1);
}

#ifdef MORVIK_ICNS
std::vector<std::uint8_t> element(const std::string& type, const std::vector<std::uint8_t>& body) {
  const auto length = static_cast<std::uint32_t>(body.size() + 8);
  std::vector<std::uint8_t> out(type.begin(), type.end());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<std::uint8_t> icns(const std::vector<std::vector<std::uint8_t>>& elements) {
  std::vector<std::uint8_t> body;
  for (const auto& e : elements) body.insert(body.end(), e.begin(), e.end());
  return element("icns", body);
}

// `count` bytes of `value` in the icns run-length code (runs of at most 130).
std::vector<std::uint8_t> runs(int value, std::size_t count) {
  std::vector<std::uint8_t> out;
  for (; count > 0; count -= std::min<std::size_t>(count, 130))
    out.insert(out.end(), {static_cast<std::uint8_t>(0x80 + std::min<std::size_t>(count, 130) - 3),
                           static_cast<std::uint8_t>(value)});
  return out;
}

// `cut` bytes are taken off the end of the deflate stream.
std::vector<std::uint8_t> png(std::uint32_t side, bool interlaced, const std::vector<std::uint8_t>& scanlines,
                              std::size_t cut = 0) {
  std::vector<std::uint8_t> deflated(compressBound(scanlines.size()));
  uLongf length = deflated.size();
  compress(deflated.data(), &length, scanlines.data(), scanlines.size());
  deflated.resize(length - cut);
  const auto chunk = [](std::string_view type, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    const auto crc = crc32(0, out.data() + 4, static_cast<uInt>(out.size() - 4));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(crc >> shift));
    return out;
  };
  const auto s = [side](int shift) { return static_cast<std::uint8_t>(side >> shift); };
  // Grey without alpha, or RGBA for the big ones.
  const std::uint8_t colour = side > 2 ? 6 : 0, adam7 = interlaced ? 1 : 0;
  std::vector<std::uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const auto& part : {chunk("IHDR", {s(24), s(16), s(8), s(0), s(24), s(16), s(8), s(0), 8, colour, 0, 0, adam7}),
                           chunk("IDAT", deflated), chunk("IEND", {})})
    file.insert(file.end(), part.begin(), part.end());
  return file;
}

TEST(Icns, ImagesOfEachKindInTheOrderToTryAndMalformedData) {
  std::vector<std::uint8_t> rgb;  // 16 x 16 planes: red, green, blue
  for (const int value : {200, 100, 50}) {
    const auto plane = runs(value, 256);
    rgb.insert(rgb.end(), plane.begin(), plane.end());
  }
  const std::vector<std::uint8_t> mask(256, 0x80);
  std::vector<std::uint8_t> argb = {'A', 'R', 'G', 'B'};  // 32 x 32 planes: alpha, red, green, blue
  for (const int value : {255, 1, 2, 3}) {
    const auto plane = runs(value, 1024);
    argb.insert(argb.end(), plane.begin(), plane.end());
  }
  const std::vector<std::uint8_t> damagedPng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};
  const auto file = icns({element("is32", rgb), element("s8mk", mask), element("ic05", argb), element("ic07", argb),
                          element("ic08", damagedPng), element("ic09", {0, 0, 0, 12, 'j', 'P', ' ', ' '})});
  const auto read = linux::memoryReader(file);
  const auto images = linux::readIcns(read, file.size());
  ASSERT_TRUE(images);
  ASSERT_EQ(images->size(), 3u) << "no JPEG 2000, and ARGB only under the two small types";
  const auto sizes = [](const std::vector<linux::IcnsImage>& order) {
    std::vector<int> out;
    for (const auto& image : order) out.push_back(image.size);
    return out;
  };
  EXPECT_EQ(sizes(linux::byPreference(*images, 128)), (std::vector<int>{256, 32, 16}));
  EXPECT_EQ(sizes(linux::byPreference(*images, 24)), (std::vector<int>{32, 256, 16}));

  // The damaged PNG fails, so the next best, the ARGB image, is drawn.
  const auto icon = linux::icnsIcon(read, file.size(), 128);
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 32);
  EXPECT_EQ(icon->argb.front(), 0xFF010203u);
  const auto classic = linux::decodeImage(linux::byPreference(*images, 128).back(), read, 128);
  ASSERT_TRUE(classic);
  EXPECT_EQ(classic->argb.back(), 0x80643219u) << "the mask as alpha, premultiplied";

  // Malformed data: no icns file, an element longer than the file, a run that
  // runs out of data.
  const auto imagesOf = [](const std::vector<std::uint8_t>& bytes) {
    return linux::readIcns(linux::memoryReader(bytes), bytes.size());
  };
  EXPECT_FALSE(imagesOf({'i', 'c', 'o', 'n', 0, 0, 0, 8}));
  EXPECT_EQ(imagesOf(icns({{'i', 's', '3', '2', 0xFF, 0xFF, 0xFF, 0xFF}}))->size(), 0u);
  const auto truncated = icns({element("is32", {0xFF, 1})});
  EXPECT_FALSE(linux::icnsIcon(linux::memoryReader(truncated), truncated.size(), 128));
}

TEST(IconPixels, BlocksAveragePremultipliedEveryPngKindDecodesAndNoClaimIsHeldWhole) {
  // A 512-pixel image reduces by 2 for 128: each block of a transparent
  // (black) and an opaque red pixel is half-transparent red, never dark red.
  std::vector<std::uint8_t> rgba;
  for (int i = 0; i < 512 * 512; ++i)
    rgba.insert(rgba.end(),
                {i % 2 ? std::uint8_t{255} : std::uint8_t{0}, 0, 0, i % 2 ? std::uint8_t{255} : std::uint8_t{0}});
  const auto reduced = linux::reducePixels(rgba, 512, 128);
  ASSERT_EQ(reduced.width, 256);
  EXPECT_EQ(reduced.argb.front(), 0x80800000u);

  // A 2 x 2 grey PNG, interlaced: the passes hold (0,0), then (1,0), then row 1.
  auto grey = png(2, true, {0, 10, 0, 20, 0, 30, 40});
  const auto decoded = linux::decodePNG(grey, 128);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->argb, (std::vector<std::uint32_t>{0xFF0A0A0A, 0xFF141414, 0xFF1E1E1E, 0xFF282828}));
  grey.resize(grey.size() - 20);
  EXPECT_FALSE(linux::decodePNG(grey, 128)) << "a truncated file";
  // All rows there, the stream's checksum missing: libpng would go on reading
  // after the rows (through any amount of extra data) and fail.
  const auto cut = linux::decodePNG(png(2, false, {0, 10, 20, 0, 30, 40}, 4), 128);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->argb, (std::vector<std::uint32_t>{0xFF0A0A0A, 0xFF141414, 0xFF1E1E1E, 0xFF282828}));

  // 4096 x 4096 RGBA claimed, one row of data: the decoder's buffers follow
  // the reduced image, not the claim.
  const auto claim = png(4096, true, std::vector<std::uint8_t>(4097, 0));
  largestAllocation = 0;
  EXPECT_FALSE(linux::decodePNG(claim, 128));
  EXPECT_LT(largestAllocation, 8u << 20);
}
#endif

}  // namespace
}  // namespace morvik::appicon
