#include "app-icon/linux/bundle_icon.h"

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

namespace morvik::appicon::linux {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t largestPlist = 16 * 1024 * 1024;

std::optional<std::string> iconFileName(const fs::path& plistPath) {
  std::error_code error;
  const auto size = fs::file_size(plistPath, error);
  if (error || size > largestPlist) return std::nullopt;
  std::ifstream in(plistPath, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), {});
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &root);
  if (root == nullptr) return std::nullopt;
  const std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  plist_t entry = plist_dict_get_item(root, "CFBundleIconFile");
  if (entry == nullptr || plist_get_node_type(entry) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(entry, &value);
  std::string name = value != nullptr ? value : "";
  std::free(value);
  if (name.empty()) return std::nullopt;
  return name;
}

// One directory of an icon theme, as index.theme describes it.
struct ThemeDirectory {
  std::string path;
  int size = 0, minSize = 0, maxSize = 0, threshold = 2, scale = 1;
  std::string type = "Threshold";

  int distance(int wanted) const {
    if (type == "Fixed") return std::abs(size - wanted);
    if (type == "Scalable") return wanted < minSize ? minSize - wanted : wanted > maxSize ? wanted - maxSize : 0;
    if (wanted < size - threshold) return size - threshold - wanted;
    if (wanted > size + threshold) return wanted - size - threshold;
    return 0;
  }
};

std::vector<ThemeDirectory> themeDirectories(const fs::path& index) {
  std::ifstream in(index);
  std::vector<std::string> listed;
  std::map<std::string, ThemeDirectory> sections;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      sections[section].path = section;
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (section == "Icon Theme" && key == "Directories") {
      std::stringstream names(value);
      for (std::string name; std::getline(names, name, ',');)
        if (!name.empty()) listed.push_back(name);
      continue;
    }
    auto& directory = sections[section];
    const int number = std::atoi(value.c_str());
    if (key == "Size") directory.size = number;
    if (key == "MinSize") directory.minSize = number;
    if (key == "MaxSize") directory.maxSize = number;
    if (key == "Threshold") directory.threshold = number;
    if (key == "Scale") directory.scale = number;
    if (key == "Type") directory.type = value;
  }
  std::vector<ThemeDirectory> directories;
  for (const auto& name : listed) {
    auto directory = sections[name];
    directory.path = name;
    if (directory.minSize == 0) directory.minSize = directory.size;
    if (directory.maxSize == 0) directory.maxSize = directory.size;
    if (directory.scale == 1) directories.push_back(directory);
  }
  return directories;
}

}  // namespace

std::optional<fs::path> bundleIconFile(const fs::path& bundle) {
  const auto name = iconFileName(bundle / "Contents" / "Info.plist");
  if (!name) return std::nullopt;
  fs::path file = bundle / "Contents" / "Resources" / *name;
  if (!file.has_extension()) file += ".icns";
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return std::nullopt;
  return file;
}

std::vector<fs::path> iconDirectories() {
  const char* set = std::getenv("XDG_DATA_DIRS");
  const std::string dataDirs = set != nullptr && *set != '\0' ? set : "/usr/local/share:/usr/share";
  std::vector<fs::path> directories;
  for (std::size_t at = 0; at <= dataDirs.size();) {
    const std::size_t end = std::min(dataDirs.find(':', at), dataDirs.size());
    if (end > at) directories.push_back(fs::path(dataDirs.substr(at, end - at)) / "icons");
    at = end + 1;
  }
  return directories;
}

std::optional<fs::path> genericApplicationIcon(int size, const std::vector<fs::path>& iconDirectories) {
  for (const char* theme : {"Adwaita", "hicolor"}) {
    for (const auto& icons : iconDirectories) {
      std::optional<fs::path> best;
      int bestDistance = INT_MAX;
      for (const auto& directory : themeDirectories(icons / theme / "index.theme")) {
        const int distance = directory.distance(size);
        if (distance >= bestDistance) continue;
        for (const char* extension : {".png", ".svg"}) {
          const fs::path file = icons / theme / directory.path / (std::string("application-x-executable") + extension);
          std::error_code error;
          if (!fs::is_regular_file(file, error)) continue;
          best = file;
          bestDistance = distance;
          break;
        }
      }
      if (best) return best;
    }
  }
  return std::nullopt;
}

}  // namespace morvik::appicon::linux
