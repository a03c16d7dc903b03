#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::appicon::linux {

// The icon file a bundle names in its Contents/Info.plist (XML or binary)
// under CFBundleIconFile, in Contents/Resources, ".icns" added to a name
// without one; none when the bundle names none or the file is missing.
std::optional<std::filesystem::path> bundleIconFile(const std::filesystem::path& bundle);

// A regular file's bytes, at most `limit`; none when it holds more or
// cannot be read. Its reported size is not trusted: files under /proc
// report none, and a file may grow while it is read.
std::optional<std::string> smallFile(const std::filesystem::path& path, std::size_t limit);

// The CFBundleIconFile of an Info.plist's bytes; none for a plist too big or
// too deeply nested to be a real one, or that names no icon.
std::optional<std::string> iconFileName(std::string_view plist);

// The icon directories of the freedesktop lookup: "icons" under each of
// $XDG_DATA_DIRS, by default /usr/local/share and /usr/share.
std::vector<std::filesystem::path> iconDirectories();

// The generic application icon of the installed icon theme (Adwaita, then
// hicolor, each in the directories in order) nearest `size`: a PNG or SVG
// file, or none.
std::optional<std::filesystem::path> genericApplicationIcon(int size,
                                                            const std::vector<std::filesystem::path>& iconDirectories);

}  // namespace morvik::appicon::linux
