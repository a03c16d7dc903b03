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
#include <zlib.h>
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
  const std::string file = ::testing::TempDir() + "icon.png";
  std::ofstream(file, std::ios::binary) << png;
  cairo_surface_t* surface = cairo_image_surface_create_from_png(file.c_str());
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
std::string bigEndian(std::uint64_t value, int bytes) {
  std::string out;
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
  return out;
}

std::string element(std::string_view type, const std::string& body) {
  return std::string(type) + bigEndian(body.size() + 8, 4) + body;
}

// A square image in four coloured quadrants, the top left half transparent.
std::string quadrants(int side) {
  Bitmap image{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side) * side * 4)};
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int quadrant = (y >= side / 2) * 2 + (x >= side / 2);
      const std::uint8_t colours[4][4] = {{255, 0, 0, 128}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 0, 255}};
      std::memcpy(&image.rgba[(static_cast<std::size_t>(y) * side + x) * 4], colours[quadrant], 4);
    }
  }
  const auto png = *encodePNG(image);
  return {png.begin(), png.end()};
}

std::string xmlPlist(const std::string& extra = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIconFile</key>"
         "<string>AppIcon</string>" +
         extra + "</dict></plist>\n";
}

// A binary plist written object by object, references and offsets four bytes.
struct BinaryPlist {
  std::vector<std::string> objects;
  static std::string counted(int marker, std::size_t count) {
    return count < 15 ? std::string(1, static_cast<char>(marker | static_cast<int>(count)))
                      : std::string(1, static_cast<char>(marker | 0xF)) + "\x12" + bigEndian(count, 4);
  }
  std::uint32_t add(const std::string& object) {
    objects.push_back(object);
    return static_cast<std::uint32_t>(objects.size() - 1);
  }
  std::uint32_t string(const std::string& text) { return add(counted(0x50, text.size()) + text); }
  std::uint32_t array(const std::vector<std::uint32_t>& items) {
    std::string object = counted(0xA0, items.size());
    for (const auto item : items) object += bigEndian(item, 4);
    return add(object);
  }
  // A dict naming the icon "AppIcon", with one more key holding `value`.
  std::string bytes(std::optional<std::uint32_t> value = std::nullopt) {
    std::vector<std::uint32_t> keys = {string("CFBundleIconFile")}, values = {string("AppIcon")};
    if (value) keys.push_back(string("Nested")), values.push_back(*value);
    std::string dict = counted(0xD0, keys.size());
    for (const auto& refs : {keys, values})
      for (const auto ref : refs) dict += bigEndian(ref, 4);
    const auto top = add(dict);
    std::string out = "bplist00", table;
    for (const auto& object : objects) table += bigEndian(out.size(), 4), out += object;
    const auto tableAt = out.size();
    return out + table + std::string(6, '\0') + "\x04\x04" + bigEndian(objects.size(), 8) + bigEndian(top, 8) +
           bigEndian(tableAt, 8);
  }
};

void writeBundle(const fs::path& bundle, const std::string& plist, const std::string& icns) {
  fs::create_directories(bundle / "Contents" / "Resources");
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary) << plist;
  std::ofstream(bundle / "Contents" / "Resources" / "AppIcon.icns", std::ios::binary) << element("icns", icns);
}

// The XML one's icon file holds damaged images before a good one: the
// next-best image of the same file is taken, and libpng's complaints stay off
// standard error.
TEST(AppIconLinux, BundleIconsAndTheGenericIcon) {
  using namespace std::string_literals;
  // The chunk at `at` with its checksum made right.
  const auto withCrc = [](std::string png, std::size_t at) {
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<std::uint8_t>(png[at + i]);
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), static_cast<uInt>(length + 4));
    return png.replace(at + 8 + length, 4, bigEndian(crc, 4));
  };
  // A header claiming 100000 x 100000 pixels (checksum right).
  const auto huge = withCrc(quadrants(128).replace(16, 8, bigEndian(100000, 4) + bigEndian(100000, 4)), 8);
  // One whose data stops after its header: in the budget, but it cannot be decoded.
  const auto cut = quadrants(256).substr(0, 41);
  // A good image after a text chunk with a wrong checksum (a warning).
  auto good = quadrants(256);
  good.insert(33, bigEndian(4, 4) + std::string("tEXtk\0v!", 8) + bigEndian(0, 4));
  const fs::path root = fs::path(::testing::TempDir()) / "bundles";
  const auto icns = element("ic10", quadrants(1024));
  writeBundle(root / "Xml.app", xmlPlist(), element("ic07", huge) + element("ic08", cut) + element("ic13", good));
  writeBundle(root / "Binary.app", BinaryPlist().bytes(), icns);
  for (const char* name : {"Xml.app", "Binary.app"}) {
    const auto icon = decodePNG(render(MORVIK_APP_ICON_LINUX, root / name));
    ASSERT_EQ(icon.width, 128) << name;
    EXPECT_EQ(icon.at(32, 32), 0x80800000u) << name << ": half-transparent red, premultiplied";
    EXPECT_EQ(icon.at(96, 32), 0xFF00FF00u) << name;
    EXPECT_EQ(icon.at(32, 96), 0xFF0000FFu) << name;
    EXPECT_EQ(icon.at(96, 96), 0xFFFFFF00u) << name;
  }
  fs::create_directories(root / "Plain.app");
  const auto generic = render(MORVIK_APP_ICON_LINUX, root / "Plain.app");
  EXPECT_EQ(decodePNG(generic).width, 128);

  // Info.plists that name no icon, or that a damaged or hostile disk holds:
  // too deep or too big for the plist reader, which recurses, too crowded or
  // too full of entities for it to be quick, a binary one whose shared
  // references expand to millions of nodes or to a long string copied
  // thousands of times, an icon name with a NUL in it, a file that never
  // ends. Each gets the generic icon, quickly.
  const auto repeated = [](const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  const auto nested = [&](int depth) {
    return xmlPlist("<key>Nested</key>" + repeated("<array>", depth) + repeated("</array>", depth));
  };
  BinaryPlist deep, expanding, sharing;
  std::uint32_t chain = deep.string("x"), shared = expanding.string("x");
  for (int i = 0; i < 100000; ++i) chain = deep.array({chain});
  for (int i = 0; i < 12; ++i) shared = expanding.array({shared, shared, shared, shared});
  const auto copies = sharing.array(std::vector<std::uint32_t>(2000, sharing.string(std::string(100000, 'x'))));
  const std::pair<const char*, std::string> plists[] = {
      {"NoIcon.app", "<plist><dict/></plist>"},
      {"Deep.app", nested(40000)},
      {"Huge.app", nested(200000)},
      {"Crowded.app", xmlPlist("<key>Many</key><array>" + repeated("<true/>", 25000) + "</array>")},
      {"Entities.app", xmlPlist("<key>Text</key><string>" + repeated("&amp;", 20000) + "</string>")},
      {"DeepBinary.app", deep.bytes(chain)},
      {"Expanding.app", expanding.bytes(shared)},
      {"SharedString.app", sharing.bytes(copies)},
      {"NulInName.app", "<plist><dict><key>CFBundleIconFile</key><string>AppIcon\0x</string></dict></plist>"s},
  };
  for (const auto& [name, plist] : plists) {
    writeBundle(root / name, plist, icns);
    EXPECT_TRUE(render(MORVIK_APP_ICON_LINUX, root / name) == generic) << name;
  }
  // A file under /proc that reports no size and reads on for gigabytes.
  writeBundle(root / "Proc.app", "", icns);
  fs::remove(root / "Proc.app" / "Contents" / "Info.plist");
  fs::create_symlink("/proc/self/pagemap", root / "Proc.app" / "Contents" / "Info.plist");
  EXPECT_TRUE(render(MORVIK_APP_ICON_LINUX, root / "Proc.app") == generic);

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

  // No theme icon at all: the built-in one, opaque in the middle.
  const auto builtIn =
      decodePNG(render(MORVIK_APP_ICON_LINUX, root / "Plain.app", {"XDG_DATA_DIRS=" + (root / "none").string()}));
  ASSERT_EQ(builtIn.width, 128);
  EXPECT_EQ(builtIn.at(64, 64) >> 24, 255u);
}

#endif

}  // namespace
}  // namespace morvik::appicon
