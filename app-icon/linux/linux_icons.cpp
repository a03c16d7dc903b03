// Application icons on Linux, for the bundles a Linux user has (macOS
// applications on a mounted disk or in a backup): the icon file the
// bundle's Info.plist names, its best image that decodes scaled with a good
// filter; and for a path that is no bundle or has no usable icon, the
// generic application icon of the installed icon theme, or a drawn one
// without a theme, as macOS shows a generic icon.
#include <cairo.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glib-object.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <memory>

#include "app-icon/icon_renderer.h"
#include "app-icon/linux/bundle_icon.h"
#include "app-icon/linux/icns.h"
#include "app-icon/linux/icon_pixels.h"
#include "app-icon/png_writer.h"

namespace morvik::appicon {
namespace {

namespace fs = std::filesystem;

struct SurfaceRelease {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceRelease>;
struct ContextRelease {
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};
using Context = std::unique_ptr<cairo_t, ContextRelease>;

// A theme's icon file is read whole; a real one is far smaller.
constexpr std::size_t largestIconFile = 16 * 1024 * 1024;

// An icon file read at offsets through one small window: the walk over its
// elements reads eight bytes at a time, mostly close together, and the file
// (up to any size) is never held whole.
class WindowedFile {
 public:
  explicit WindowedFile(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~WindowedFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  WindowedFile(const WindowedFile&) = delete;
  WindowedFile& operator=(const WindowedFile&) = delete;

  std::uint64_t size() const {
    struct stat status {};
    return fd_ >= 0 && ::fstat(fd_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  }

  bool read(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (out.size() > window_.size()) return fill(offset, out) == out.size();
    if (offset < windowAt_ || offset - windowAt_ + out.size() > windowLength_) {
      windowAt_ = offset;
      windowLength_ = fill(offset, window_);
    }
    if (offset - windowAt_ + out.size() > windowLength_) return false;
    std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(offset - windowAt_), out.size(), out.begin());
    return true;
  }

 private:
  std::size_t fill(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

  int fd_;
  std::array<std::uint8_t, 4096> window_{};
  std::uint64_t windowAt_ = 0;
  std::size_t windowLength_ = 0;
};

std::optional<linux::Pixels> bundleIcon(const fs::path& bundle, int size) {
  const auto path = linux::bundleIconFile(bundle);
  if (!path) return std::nullopt;
  WindowedFile file(*path);
  return linux::icnsIcon([&file](std::uint64_t offset, std::span<std::uint8_t> out) { return file.read(offset, out); },
                         file.size(), size);
}

// An SVG icon drawn by librsvg, loaded only for it: loading it costs more
// than the rest of the helper's run.
bool drawSVG(cairo_t* context, const fs::path& file, int size) {
  struct Viewport {
    double x, y, width, height;
  };
  using NewFromFile = void* (*)(const char*, GError**);
  using RenderDocument = gboolean (*)(void*, cairo_t*, const Viewport*, GError**);
  void* library = ::dlopen("librsvg-2.so.2", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  const auto open = reinterpret_cast<NewFromFile>(::dlsym(library, "rsvg_handle_new_from_file"));
  const auto render = reinterpret_cast<RenderDocument>(::dlsym(library, "rsvg_handle_render_document"));
  GError* error = nullptr;
  void* handle = open != nullptr && render != nullptr ? open(file.c_str(), &error) : nullptr;
  const Viewport viewport{0, 0, static_cast<double>(size), static_cast<double>(size)};
  const bool drawn = handle != nullptr && render(handle, context, &viewport, &error);
  g_clear_error(&error);
  if (handle != nullptr) g_object_unref(handle);
  return drawn;
}

// Paints the icon over the whole `size` x `size` context with cairo's good
// filter; the pixels come already reduced to at most four times that.
bool paint(cairo_t* context, linux::Pixels& icon, int size) {
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, icon.width);
  if (icon.width <= 0 || icon.height <= 0 || stride != icon.width * 4) return false;
  const Surface surface(cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(icon.argb.data()),
                                                            CAIRO_FORMAT_ARGB32, icon.width, icon.height, stride));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return false;
  cairo_save(context);
  cairo_scale(context, static_cast<double>(size) / icon.width, static_cast<double>(size) / icon.height);
  cairo_set_source_surface(context, surface.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(context), CAIRO_FILTER_GOOD);
  cairo_paint(context);
  cairo_restore(context);
  return true;
}

// Draws the theme's generic icon into the context, filling `size`.
bool drawThemeIcon(cairo_t* context, int size) {
  const auto file = linux::genericApplicationIcon(size, linux::iconDirectories());
  if (!file) return false;
  if (file->extension() == ".svg") return drawSVG(context, *file, size);
  const auto bytes = linux::smallFile(*file, largestIconFile).value_or("");
  auto icon = linux::decodePNG(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), size);
  return icon && paint(context, *icon, size);
}

// The generic icon when the machine has no icon theme: a grey rounded
// square holding a window with a blue title bar.
void drawBuiltInIcon(cairo_t* context, int size) {
  const double unit = size / 16.0;
  const auto roundedSquare = [&](double x, double y, double side, double radius) {
    cairo_new_sub_path(context);
    cairo_arc(context, x + side - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(context, x + side - radius, y + side - radius, radius, 0, M_PI / 2);
    cairo_arc(context, x + radius, y + side - radius, radius, M_PI / 2, M_PI);
    cairo_arc(context, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(context);
  };
  cairo_save(context);
  cairo_set_operator(context, CAIRO_OPERATOR_OVER);
  roundedSquare(unit, unit, 14 * unit, 3 * unit);
  cairo_set_source_rgb(context, 0.55, 0.58, 0.62);
  cairo_fill(context);
  cairo_rectangle(context, 3.5 * unit, 4 * unit, 9 * unit, 8 * unit);
  cairo_set_source_rgb(context, 0.97, 0.97, 0.98);
  cairo_fill(context);
  cairo_rectangle(context, 3.5 * unit, 4 * unit, 9 * unit, 1.8 * unit);
  cairo_set_source_rgb(context, 0.2, 0.45, 0.8);
  cairo_fill(context);
  cairo_restore(context);
}

Bitmap bitmapOf(cairo_surface_t* surface, int size) {
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  Bitmap bitmap{size, size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
  for (int y = 0; y < size; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < size; ++x) {
      const std::uint32_t argb = row[x];
      const std::uint32_t alpha = argb >> 24;
      std::uint8_t* pixel = &bitmap.rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      const auto straight = [&](int shift) {
        const std::uint32_t value = (argb >> shift) & 0xFF;
        return static_cast<std::uint8_t>(alpha == 0 ? 0
                                                    : std::min<std::uint32_t>(255, (value * 255 + alpha / 2) / alpha));
      };
      pixel[0] = straight(16);
      pixel[1] = straight(8);
      pixel[2] = straight(0);
      pixel[3] = static_cast<std::uint8_t>(alpha);
    }
  }
  return bitmap;
}

class LinuxIcons final : public IconRenderer {
 public:
  bool exists(const std::string& path) override {
    std::error_code error;
    return fs::exists(path, error);
  }

  std::optional<Bitmap> drawIcon(const std::string& path, int size) override {
    Surface target(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
    if (cairo_surface_status(target.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    Context context(cairo_create(target.get()));
    if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    cairo_set_operator(context.get(), CAIRO_OPERATOR_SOURCE);
    auto icon = bundleIcon(path, size);
    if (!(icon && paint(context.get(), *icon, size)) && !drawThemeIcon(context.get(), size)) {
      // A theme icon may have drawn part of itself before it failed.
      cairo_save(context.get());
      cairo_set_operator(context.get(), CAIRO_OPERATOR_CLEAR);
      cairo_paint(context.get());
      cairo_restore(context.get());
      drawBuiltInIcon(context.get(), size);
    }
    if (cairo_status(context.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    return bitmapOf(target.get(), size);
  }

  std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) override {
    return appicon::encodePNG(bitmap);
  }
};

}  // namespace

std::unique_ptr<IconRenderer> makeIconRenderer() { return std::make_unique<LinuxIcons>(); }

}  // namespace morvik::appicon
