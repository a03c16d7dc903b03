#include "app-icon/app_icon.h"

#include <string_view>

namespace morvik::appicon {
namespace {

constexpr int badCommandLine = 2;
constexpr int cannotRender = 3;
// Standard output took only part of the PNG or none (a full disk, a closed
// reader): the caller must not take what it got for the icon.
constexpr int cannotWrite = 1;

}  // namespace

int renderAppIcon(const std::vector<std::string>& arguments, IconRenderer& renderer, channel::Output& out) {
  if (arguments.size() != 1) return badCommandLine;
  const std::string& target = arguments.front();
  if (!std::string_view(target).ends_with(".app") || !renderer.exists(target)) return badCommandLine;
  const auto bitmap = renderer.drawIcon(target, iconSize);
  if (!bitmap) return cannotRender;
  const auto png = renderer.encodePNG(*bitmap);
  if (!png) return cannotRender;
  return out.write(std::string_view(reinterpret_cast<const char*>(png->data()), png->size())) ? 0 : cannotWrite;
}

}  // namespace morvik::appicon
