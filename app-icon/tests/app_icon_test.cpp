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

#include "app-icon/linux/icns.h"
#include "app-icon/linux/icon_pixels.h"
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

TEST(Icns, ClassicRgbWithMaskArgbAndPng) {
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
  const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};
  const auto images = linux::readIcns(icns({element("is32", rgb), element("s8mk", mask), element("ic05", argb),
                                            element("ic08", png), element("ic09", {0, 0, 0, 12, 'j', 'P'})}));
  ASSERT_TRUE(images);
  ASSERT_EQ(images->size(), 3u) << "the JPEG 2000 image is skipped";
  EXPECT_EQ(images->at(0).size, 32);
  EXPECT_EQ(std::vector<std::uint8_t>(images->at(0).rgba.begin(), images->at(0).rgba.begin() + 4),
            (std::vector<std::uint8_t>{1, 2, 3, 255}));
  EXPECT_EQ(images->at(1).png, png);
  EXPECT_EQ(images->at(2).size, 16);
  EXPECT_EQ(std::vector<std::uint8_t>(images->at(2).rgba.end() - 4, images->at(2).rgba.end()),
            (std::vector<std::uint8_t>{200, 100, 50, 0x80}));
  EXPECT_EQ(linux::nearestImage(*images, 128)->size, 256) << "the smallest image at least 128";
  EXPECT_EQ(linux::nearestImage(*images, 512)->size, 256) << "else the biggest";
}

TEST(Icns, MalformedData) {
  EXPECT_FALSE(linux::readIcns(std::vector<std::uint8_t>{'i', 'c', 'o', 'n', 0, 0, 0, 8}));
  // An element longer than the file, a run that runs out of data.
  EXPECT_EQ(linux::readIcns(icns({{'i', 's', '3', '2', 0xFF, 0xFF, 0xFF, 0xFF}}))->size(), 0u);
  EXPECT_EQ(linux::readIcns(icns({element("is32", {0xFF, 1})}))->size(), 0u);
}

TEST(IconPixels, BlocksAveragePremultipliedAndEveryPngKindDecodes) {
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
  const std::vector<std::uint8_t> scanlines = {0, 10, 0, 20, 0, 30, 40};
  std::vector<std::uint8_t> deflated(compressBound(scanlines.size()));
  uLongf length = deflated.size();
  compress(deflated.data(), &length, scanlines.data(), scanlines.size());
  deflated.resize(length);
  const auto chunk = [](std::string_view type, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    const auto crc = crc32(0, out.data() + 4, static_cast<uInt>(out.size() - 4));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(crc >> shift));
    return out;
  };
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const auto& part :
       {chunk("IHDR", {0, 0, 0, 2, 0, 0, 0, 2, 8, 0, 0, 0, 1}), chunk("IDAT", deflated), chunk("IEND", {})})
    png.insert(png.end(), part.begin(), part.end());
  const auto grey = linux::decodePNG(png, 128);
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->argb, (std::vector<std::uint32_t>{0xFF0A0A0A, 0xFF141414, 0xFF1E1E1E, 0xFF282828}));
  png.resize(png.size() - 20);
  EXPECT_FALSE(linux::decodePNG(png, 128)) << "a truncated file";
}
#endif

}  // namespace
}  // namespace morvik::appicon
