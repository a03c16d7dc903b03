// A bundle from the Info.plist down: the input's first two bytes give the
// length of its Info.plist (XML or binary), the rest is the icon file it
// names. Whatever the bytes, the plist is read or refused without running
// deep or long, and the icon decodes to a reduced image or to nothing.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "app-icon/linux/bundle_icon.h"
#include "app-icon/linux/icns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik::appicon::linux;
  if (size < 2) return 0;
  const std::size_t plistLength = std::min<std::size_t>(data[0] << 8 | data[1], size - 2);
  const auto name = iconFileName(std::string_view(reinterpret_cast<const char*>(data) + 2, plistLength));
  if (!name) return 0;
  if (name->empty()) std::abort();
  const std::span<const std::uint8_t> icon(data + 2 + plistLength, size - 2 - plistLength);
  const auto pixels = icnsIcon(memoryReader(icon), icon.size(), 128);
  if (pixels && pixels->argb.size() != static_cast<std::size_t>(pixels->width) * pixels->height) std::abort();
  return 0;
}
