#include "app-icon/linux/icon_pixels.h"

#include <png.h>

#include <algorithm>
#include <memory>

namespace morvik::appicon::linux {
namespace {

// Icons go to 1024 pixels; a much bigger header is a damaged or hostile file.
constexpr int largestSide = 4096;

}  // namespace

int reduction(int width, int height, int size) {
  int factor = 1;
  while (width / (factor * 2) >= 2 * size && height / (factor * 2) >= 2 * size) factor *= 2;
  return factor;
}

BoxReducer::BoxReducer(int width, int height, int factor)
    : factor_(factor), sums_(static_cast<std::size_t>(width / factor) * 4) {
  out_.width = width / factor;
  out_.height = height / factor;
  out_.argb.reserve(static_cast<std::size_t>(out_.width) * out_.height);
}

void BoxReducer::addRow(const std::uint8_t* rgba) {
  if (rowsIn_++ >= out_.height * factor_) return;
  for (int x = 0; x < out_.width * factor_; ++x) {
    const std::uint8_t* pixel = rgba + static_cast<std::ptrdiff_t>(x) * 4;
    std::uint32_t* sum = &sums_[static_cast<std::size_t>(x / factor_) * 4];
    const std::uint32_t alpha = pixel[3];
    sum[0] += pixel[0] * alpha;
    sum[1] += pixel[1] * alpha;
    sum[2] += pixel[2] * alpha;
    sum[3] += alpha;
  }
  if (rowsIn_ % factor_ != 0) return;
  const std::uint32_t count = static_cast<std::uint32_t>(factor_) * factor_;
  for (int x = 0; x < out_.width; ++x) {
    std::uint32_t* sum = &sums_[static_cast<std::size_t>(x) * 4];
    const auto channel = [&](int index) { return (sum[index] + 255 * count / 2) / (255 * count); };
    out_.argb.push_back((sum[3] + count / 2) / count << 24 | channel(0) << 16 | channel(1) << 8 | channel(2));
  }
  std::fill(sums_.begin(), sums_.end(), 0);
}

Pixels reducePixels(std::span<const std::uint8_t> rgba, int size, int target) {
  BoxReducer reducer(size, size, reduction(size, size, target));
  for (int y = 0; y < size; ++y) reducer.addRow(rgba.data() + static_cast<std::ptrdiff_t>(y) * size * 4);
  return reducer.finish();
}

std::optional<Pixels> decodePNG(std::span<const std::uint8_t> png, int target) {
  // libpng reports errors by longjmp: everything that lives across it is on
  // the heap, owned by this frame from before setjmp.
  struct Decoding {
    std::span<const std::uint8_t> data;
    std::size_t at = 0;
    std::unique_ptr<BoxReducer> reducer;
    std::vector<std::uint8_t> image;
    std::vector<png_bytep> rows;
  };
  const auto decoding = std::make_unique<Decoding>();
  decoding->data = png;
  png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = reader != nullptr ? png_create_info_struct(reader) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&reader, nullptr, nullptr);
    return std::nullopt;
  }
  if (setjmp(png_jmpbuf(reader))) {
    png_destroy_read_struct(&reader, &info, nullptr);
    return std::nullopt;
  }
  png_set_read_fn(reader, decoding.get(), [](png_structp read, png_bytep out, png_size_t length) {
    auto* source = static_cast<Decoding*>(png_get_io_ptr(read));
    if (length > source->data.size() - source->at) png_error(read, "truncated");
    std::copy_n(source->data.begin() + static_cast<std::ptrdiff_t>(source->at), length, out);
    source->at += length;
  });
  png_set_user_limits(reader, largestSide, largestSide);
#ifdef PNG_IGNORE_ADLER32
  // The deflate stream is still checked; its checksum costs a fifth of the
  // run and guards nothing an icon needs, so it is skipped as browsers do.
  png_set_option(reader, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
  png_read_info(reader, info);
  png_set_expand(reader);
  png_set_scale_16(reader);
  png_set_gray_to_rgb(reader);
  png_set_add_alpha(reader, 0xFF, PNG_FILLER_AFTER);
  const int passes = png_set_interlace_handling(reader);
  png_read_update_info(reader, info);
  const int width = static_cast<int>(png_get_image_width(reader, info));
  const int height = static_cast<int>(png_get_image_height(reader, info));
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  if (png_get_rowbytes(reader, info) != rowBytes) png_error(reader, "unexpected row layout");
  decoding->reducer = std::make_unique<BoxReducer>(width, height, reduction(width, height, target));
  if (passes == 1) {
    decoding->image.resize(rowBytes);
    for (int y = 0; y < height; ++y) {
      png_read_row(reader, decoding->image.data(), nullptr);
      decoding->reducer->addRow(decoding->image.data());
    }
  } else {
    // An interlaced image is complete only after its last pass.
    decoding->image.resize(rowBytes * height);
    for (int y = 0; y < height; ++y) decoding->rows.push_back(decoding->image.data() + rowBytes * y);
    png_read_image(reader, decoding->rows.data());
    for (png_bytep row : decoding->rows) decoding->reducer->addRow(row);
  }
  png_destroy_read_struct(&reader, &info, nullptr);
  return decoding->reducer->finish();
}

}  // namespace morvik::appicon::linux
