// morvik-app-icon as the application runs it: a real 128 x 128 PNG with
// alpha on standard output, for a simulated icon and, on Linux, for bundles
// made at test time.
#include <gtest/gtest.h>

#ifdef __APPLE__
#include <ImageIO/ImageIO.h>
#else
#include <cairo.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>

#include "app-icon/png_writer.h"
#include "testsupport/process.h"
#ifdef MORVIK_APP_ICON_LINUX
#include <plist/plist.h>
#endif

namespace morvik::appicon {
namespace {

namespace fs = std::filesystem;

struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint32_t> argb;  // premultiplied, as cairo keeps them
  std::uint32_t at(int x, int y) const { return argb[static_cast<std::size_t>(y) * width + x]; }
};

// Checks the PNG's frame (signature, first chunk IHDR 128 x 128 RGBA, last
// chunk IEND) and decodes it.
Decoded decodePNG(const std::string& png) {
  Decoded decoded;
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x80\0\0\0\x80", 8));
  EXPECT_EQ(png.substr(24, 2), std::string("\x08\x06", 2)) << "8 bits, RGB with alpha";
  EXPECT_EQ(png.substr(png.size() - 12), std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12));
#ifdef __APPLE__
  // ImageIO's pixels as decoded (no colour matching), premultiplied as cairo does.
  CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(png.data()), static_cast<CFIndex>(png.size()));
  CGImageSourceRef source = CGImageSourceCreateWithData(data, nullptr);
  CGImageRef image = source != nullptr ? CGImageSourceCreateImageAtIndex(source, 0, nullptr) : nullptr;
  EXPECT_NE(image, nullptr);
  if (image != nullptr && CGImageGetBitsPerPixel(image) == 32 &&
      (CGImageGetBitmapInfo(image) & kCGBitmapAlphaInfoMask) == kCGImageAlphaLast) {
    decoded.width = static_cast<int>(CGImageGetWidth(image));
    decoded.height = static_cast<int>(CGImageGetHeight(image));
    CFDataRef pixels = CGDataProviderCopyData(CGImageGetDataProvider(image));
    const auto premultiply = [](unsigned color, unsigned alpha) {
      const unsigned product = color * alpha + 0x80;
      return ((product >> 8) + product) >> 8;
    };
    for (int y = 0; y < decoded.height; ++y) {
      const UInt8* row = CFDataGetBytePtr(pixels) + static_cast<std::size_t>(y) * CGImageGetBytesPerRow(image);
      for (int x = 0; x < decoded.width; ++x) {
        const UInt8* p = row + 4 * x;
        decoded.argb.push_back(std::uint32_t{p[3]} << 24 | premultiply(p[0], p[3]) << 16 |
                               premultiply(p[1], p[3]) << 8 | premultiply(p[2], p[3]));
      }
    }
    CFRelease(pixels);
  } else {
    ADD_FAILURE() << "not an 8-bit RGBA image";
  }
  if (image != nullptr) CGImageRelease(image);
  if (source != nullptr) CFRelease(source);
  CFRelease(data);
#else
  struct Reader {
    const std::string* data;
    std::size_t at = 0;
  } reader{&png};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* out, unsigned int length) {
        auto* source = static_cast<Reader*>(closure);
        if (source->at + length > source->data->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(out, source->data->data() + source->at, length);
        source->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  EXPECT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS);
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    decoded.width = cairo_image_surface_get_width(surface);
    decoded.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < decoded.height; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(surface) + y * stride);
      decoded.argb.insert(decoded.argb.end(), row, row + decoded.width);
    }
  }
  cairo_surface_destroy(surface);
#endif
  return decoded;
}

std::string render(const char* helper, const fs::path& path, const std::vector<std::string>& environment = {}) {
  const auto run = testing::runProcess(helper, {path.string()}, {}, environment);
  EXPECT_EQ(run.exit.status, 0) << path;
  EXPECT_EQ(run.errors, "");
  return run.output;
}

TEST(AppIconProcess, SimulatedIcon) {
  const fs::path bundle = fs::path(::testing::TempDir()) / "Sim.app";
  fs::create_directories(bundle);
  const auto icon = decodePNG(render(MORVIK_APP_ICON_SIM, bundle));
  ASSERT_EQ(icon.width, 128);
  EXPECT_EQ(icon.at(0, 0) >> 24, 0u) << "a transparent corner";
  EXPECT_EQ(icon.at(64, 64), 0xFFFFFFFFu) << "an opaque white disc";
  EXPECT_EQ(render(MORVIK_APP_ICON_SIM, bundle), render(MORVIK_APP_ICON_SIM, bundle)) << "the same every time";
  const auto missing = testing::runProcess(MORVIK_APP_ICON_SIM, {(bundle.parent_path() / "None.app").string()});
  EXPECT_EQ(missing.exit.status, 2);
  EXPECT_EQ(missing.output, "");
}

#ifdef MORVIK_APP_ICON_LINUX
// A 1024-pixel image in four coloured quadrants, the top left half transparent.
std::vector<std::uint8_t> quadrants() {
  Bitmap image{1024, 1024, std::vector<std::uint8_t>(1024 * 1024 * 4)};
  for (int y = 0; y < 1024; ++y) {
    for (int x = 0; x < 1024; ++x) {
      std::uint8_t* pixel = &image.rgba[(static_cast<std::size_t>(y) * 1024 + x) * 4];
      const int quadrant = (y >= 512) * 2 + (x >= 512);
      const std::uint8_t colours[4][4] = {{255, 0, 0, 128}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 0, 255}};
      std::memcpy(pixel, colours[quadrant], 4);
    }
  }
  return *encodePNG(image);
}

void writeBundle(const fs::path& bundle, bool binary, bool withIcon) {
  fs::create_directories(bundle / "Contents" / "Resources");
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "CFBundleName", plist_new_string("Quadrants"));
  if (withIcon) plist_dict_set_item(root, "CFBundleIconFile", plist_new_string("AppIcon"));
  char* text = nullptr;
  std::uint32_t length = 0;
  binary ? plist_to_bin(root, &text, &length) : plist_to_xml(root, &text, &length);
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary).write(text, length);
  std::free(text);
  plist_free(root);
  const auto png = quadrants();
  const auto size = static_cast<std::uint32_t>(png.size() + 16);
  std::ofstream icns(bundle / "Contents" / "Resources" / "AppIcon.icns", std::ios::binary);
  const std::uint8_t header[] = {'i',
                                 'c',
                                 'n',
                                 's',
                                 static_cast<std::uint8_t>(size >> 24),
                                 static_cast<std::uint8_t>(size >> 16),
                                 static_cast<std::uint8_t>(size >> 8),
                                 static_cast<std::uint8_t>(size),
                                 'i',
                                 'c',
                                 '1',
                                 '0',
                                 static_cast<std::uint8_t>((size - 8) >> 24),
                                 static_cast<std::uint8_t>((size - 8) >> 16),
                                 static_cast<std::uint8_t>((size - 8) >> 8),
                                 static_cast<std::uint8_t>(size - 8)};
  icns.write(reinterpret_cast<const char*>(header), sizeof header);
  icns.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
}

TEST(AppIconLinux, BundleIconsAndTheGenericIcon) {
  const fs::path root = fs::path(::testing::TempDir()) / "bundles";
  for (const bool binary : {false, true}) {
    const fs::path bundle = root / (binary ? "Binary.app" : "Xml.app");
    writeBundle(bundle, binary, true);
    const auto icon = decodePNG(render(MORVIK_APP_ICON_LINUX, bundle));
    ASSERT_EQ(icon.width, 128) << bundle;
    EXPECT_EQ(icon.at(32, 32), 0x80800000u) << "half-transparent red, premultiplied";
    EXPECT_EQ(icon.at(96, 32), 0xFF00FF00u);
    EXPECT_EQ(icon.at(32, 96), 0xFF0000FFu);
    EXPECT_EQ(icon.at(96, 96), 0xFFFFFF00u);
  }
  writeBundle(root / "NoIcon.app", false, false);
  fs::create_directories(root / "Plain.app");
  const auto generic = render(MORVIK_APP_ICON_LINUX, root / "Plain.app");
  EXPECT_EQ(decodePNG(generic).width, 128);
  EXPECT_EQ(render(MORVIK_APP_ICON_LINUX, root / "NoIcon.app"), generic) << "no usable icon: the generic one";

  // A theme whose generic icon is an SVG, drawn by librsvg: a green square.
  const fs::path theme = root / "share" / "icons" / "hicolor";
  fs::create_directories(theme / "scalable" / "mimetypes");
  std::ofstream(theme / "index.theme") << "[Icon Theme]\nName=Hicolor\nDirectories=scalable/mimetypes\n\n"
                                          "[scalable/mimetypes]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\n";
  std::ofstream(theme / "scalable" / "mimetypes" / "application-x-executable.svg")
      << R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64"><rect x="16" y="16" width="32" )"
         R"(height="32" fill="#00ff00"/></svg>)";
  const auto svg =
      decodePNG(render(MORVIK_APP_ICON_LINUX, root / "Plain.app", {"XDG_DATA_DIRS=" + (root / "share").string()}));
  ASSERT_EQ(svg.width, 128);
  EXPECT_EQ(svg.at(64, 64), 0xFF00FF00u);
  EXPECT_EQ(svg.at(8, 8), 0u) << "transparent outside the square";
}
#endif

}  // namespace
}  // namespace morvik::appicon
