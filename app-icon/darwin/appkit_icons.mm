// Application icons on macOS with AppKit: the workspace's icon of the path,
// drawn with copy compositing into a 128 x 128 device-RGB bitmap with alpha,
// and PNG encoding by the bitmap image representation.
#import <AppKit/AppKit.h>

#include "app-icon/icon_renderer.h"

namespace morvik::appicon {
namespace {

// A path is bytes, not necessarily UTF-8: the file manager makes the string
// from its file-system representation, which is never nil.
NSString* pathString(const std::string& path) {
  return [NSFileManager.defaultManager stringWithFileSystemRepresentation:path.data() length:path.size()];
}

class AppKitIcons final : public IconRenderer {
 public:
  bool exists(const std::string& path) override {
    @autoreleasepool {
      return [NSFileManager.defaultManager fileExistsAtPath:pathString(path)];
    }
  }

  std::optional<Bitmap> drawIcon(const std::string& path, int size) override {
    @autoreleasepool {
      NSImage* icon = [NSWorkspace.sharedWorkspace iconForFile:pathString(path)];
      NSBitmapImageRep* bitmap = [[NSBitmapImageRep alloc] initWithBitmapDataPlanes:nullptr
                                                                         pixelsWide:size
                                                                         pixelsHigh:size
                                                                      bitsPerSample:8
                                                                    samplesPerPixel:4
                                                                           hasAlpha:YES
                                                                           isPlanar:NO
                                                                     colorSpaceName:NSDeviceRGBColorSpace
                                                                        bytesPerRow:0
                                                                       bitsPerPixel:0];
      if (bitmap == nil) return std::nullopt;
      NSGraphicsContext* context = [NSGraphicsContext graphicsContextWithBitmapImageRep:bitmap];
      if (context == nil) return std::nullopt;
      [NSGraphicsContext saveGraphicsState];
      NSGraphicsContext.currentContext = context;
      [icon drawInRect:NSMakeRect(0, 0, size, size)
              fromRect:NSZeroRect
             operation:NSCompositingOperationCopy
              fraction:1.0];
      [NSGraphicsContext restoreGraphicsState];
      const unsigned char* data = bitmap.bitmapData;
      if (data == nullptr) return std::nullopt;
      // The bitmap holds premultiplied samples; ours are straight.
      Bitmap out{size, size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
      for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
          const unsigned char* pixel = data + y * bitmap.bytesPerRow + x * 4;
          std::uint8_t* target = &out.rgba[(static_cast<std::size_t>(y) * size + x) * 4];
          const unsigned alpha = pixel[3];
          for (int channel = 0; channel < 3; ++channel)
            target[channel] =
                static_cast<std::uint8_t>(alpha == 0 ? 0 : std::min(255u, (pixel[channel] * 255u + alpha / 2) / alpha));
          target[3] = static_cast<std::uint8_t>(alpha);
        }
      }
      return out;
    }
  }

  std::optional<std::vector<std::uint8_t>> encodePNG(const Bitmap& bitmap) override {
    @autoreleasepool {
      std::vector<std::uint8_t> pixels = bitmap.rgba;
      unsigned char* planes[] = {pixels.data()};
      NSBitmapImageRep* rep = [[NSBitmapImageRep alloc] initWithBitmapDataPlanes:planes
                                                                      pixelsWide:bitmap.width
                                                                      pixelsHigh:bitmap.height
                                                                   bitsPerSample:8
                                                                 samplesPerPixel:4
                                                                        hasAlpha:YES
                                                                        isPlanar:NO
                                                                  colorSpaceName:NSDeviceRGBColorSpace
                                                                    bitmapFormat:NSBitmapFormatAlphaNonpremultiplied
                                                                     bytesPerRow:bitmap.width * 4
                                                                    bitsPerPixel:32];
      NSData* png = rep != nil ? [rep representationUsingType:NSBitmapImageFileTypePNG properties:@{}] : nil;
      if (png == nil) return std::nullopt;
      const auto* bytes = static_cast<const std::uint8_t*>(png.bytes);
      return std::vector<std::uint8_t>(bytes, bytes + png.length);
    }
  }
};

}  // namespace

std::unique_ptr<IconRenderer> makeIconRenderer() { return std::make_unique<AppKitIcons>(); }

}  // namespace morvik::appicon
