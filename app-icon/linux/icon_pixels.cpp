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

BoxReducer::BoxReducer(int width, int height, int factor, bool wholeImage)
    : factor_(factor),
      sums_(static_cast<std::size_t>(width / factor) * (wholeImage ? height / factor : 1) * 4),
      wholeImage_(wholeImage) {
  out_.width = width / factor;
  out_.height = height / factor;
  out_.argb.reserve(static_cast<std::size_t>(out_.width) * out_.height);
}

void BoxReducer::add(int x, int y, const std::uint8_t* pixel) {
  if (x >= out_.width * factor_ || y >= out_.height * factor_) return;
  const std::size_t row = wholeImage_ ? static_cast<std::size_t>(y / factor_) * out_.width : 0;
  std::uint32_t* sum = &sums_[(row + static_cast<std::size_t>(x / factor_)) * 4];
  const std::uint32_t alpha = pixel[3];
  sum[0] += pixel[0] * alpha;
  sum[1] += pixel[1] * alpha;
  sum[2] += pixel[2] * alpha;
  sum[3] += alpha;
}

void BoxReducer::emitRow(std::uint32_t* sums) {
  const std::uint32_t count = static_cast<std::uint32_t>(factor_) * factor_;
  for (int x = 0; x < out_.width; ++x) {
    std::uint32_t* sum = &sums[static_cast<std::size_t>(x) * 4];
    const auto channel = [&](int index) { return (sum[index] + 255 * count / 2) / (255 * count); };
    out_.argb.push_back((sum[3] + count / 2) / count << 24 | channel(0) << 16 | channel(1) << 8 | channel(2));
  }
}

void BoxReducer::addRow(const std::uint8_t* rgba) {
  const int y = rowsIn_++;
  if (y >= out_.height * factor_) return;
  for (int x = 0; x < out_.width * factor_; ++x) add(x, y, rgba + static_cast<std::ptrdiff_t>(x) * 4);
  if (rowsIn_ % factor_ != 0) return;
  emitRow(sums_.data());
  std::fill(sums_.begin(), sums_.end(), 0);
}

void BoxReducer::addPixels(int y, const std::uint8_t* rgba, int count, int first, int step) {
  for (int i = 0; i < count; ++i) add(first + i * step, y, rgba + static_cast<std::ptrdiff_t>(i) * 4);
}

Pixels BoxReducer::finish() {
  if (wholeImage_)
    for (int y = 0; y < out_.height; ++y) emitRow(&sums_[static_cast<std::size_t>(y) * out_.width * 4]);
  return std::move(out_);
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
    bool interlaced = false;
    std::uint64_t rowsLeft = 0;
  };
  const auto decoding = std::make_unique<Decoding>();
  decoding->data = png;
  // Errors end the decoding and warnings are dropped: nothing is printed.
  png_structp reader = png_create_read_struct(
      PNG_LIBPNG_VER_STRING, nullptr, [](png_structp failed, png_const_charp) { png_longjmp(failed, 1); },
      [](png_structp, png_const_charp) {});
  png_infop info = reader != nullptr ? png_create_info_struct(reader) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&reader, nullptr, nullptr);
    return std::nullopt;
  }
  if (setjmp(png_jmpbuf(reader))) {
    png_destroy_read_struct(&reader, &info, nullptr);
    // What follows the last row (the end of the deflate stream, the closing
    // chunks) may be damaged: the image is whole all the same.
    if (decoding->reducer == nullptr || decoding->rowsLeft > 0) return std::nullopt;
    return decoding->reducer->finish();
  }
  png_set_read_fn(reader, decoding.get(), [](png_structp read, png_bytep out, png_size_t length) {
    auto* source = static_cast<Decoding*>(png_get_io_ptr(read));
    // After the last row libpng would inflate the rest of the stream, which
    // can be gigabytes of zeros in a few kilobytes: nothing more is read.
    if (length > source->data.size() - source->at || (source->reducer && source->rowsLeft == 0))
      png_error(read, "no more data");
    std::copy_n(source->data.begin() + static_cast<std::ptrdiff_t>(source->at), length, out);
    source->at += length;
  });
  png_set_user_limits(reader, largestSide, largestSide);
  // Only the chunks that make the pixels are read: text and profiles can
  // hold a deflate stream each, a thousand of them, all for nothing here.
  png_set_keep_unknown_chunks(reader, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
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
  // Each row is taken as the last step of its transformation, before libpng
  // finishes the row (and, after the last one, the stream).
  png_set_read_user_transform_fn(reader, [](png_structp read, png_row_infop row, png_bytep rgba) {
    auto* state = static_cast<Decoding*>(png_get_io_ptr(read));
    if (row->pixel_depth != 32 || state->rowsLeft == 0) png_error(read, "unexpected row");
    --state->rowsLeft;
    if (!state->interlaced) return state->reducer->addRow(rgba);
    // The seven passes come as small images of their own (libpng skips the
    // empty ones); each pixel goes into its block's sums where it lies, so
    // the image is never held whole.
    const int pass = png_get_current_pass_number(read);
    const auto y = static_cast<int>(PNG_ROW_FROM_PASS_ROW(png_get_current_row_number(read), pass));
    state->reducer->addPixels(y, rgba, static_cast<int>(row->width), static_cast<int>(PNG_PASS_START_COL(pass)),
                              1 << PNG_PASS_COL_SHIFT(pass));
  });
  png_read_update_info(reader, info);
  const int width = static_cast<int>(png_get_image_width(reader, info));
  const int height = static_cast<int>(png_get_image_height(reader, info));
  decoding->interlaced = png_get_interlace_type(reader, info) != PNG_INTERLACE_NONE;
  for (int pass = 0; decoding->interlaced && pass < 7; ++pass)
    if (PNG_PASS_COLS(width, pass) != 0) decoding->rowsLeft += PNG_PASS_ROWS(height, pass);
  if (!decoding->interlaced) decoding->rowsLeft = static_cast<std::uint64_t>(height);
  decoding->reducer =
      std::make_unique<BoxReducer>(width, height, reduction(width, height, target), decoding->interlaced);
  for (std::uint64_t row = decoding->rowsLeft; row > 0; --row) png_read_row(reader, nullptr, nullptr);
  png_destroy_read_struct(&reader, &info, nullptr);
  return decoding->reducer->finish();
}

}  // namespace morvik::appicon::linux
