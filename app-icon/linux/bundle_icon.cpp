#include "app-icon/linux/bundle_icon.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

namespace morvik::appicon::linux {
namespace {

namespace fs = std::filesystem;

// Real Info.plists are small, a few levels deep and a few thousand values at
// most. libplist recurses once per level and, for a binary plist, once per
// reference, and takes microseconds a value, so a deep, self-multiplying or
// crowded one is refused before it is parsed.
constexpr std::size_t largestPlist = 1024 * 1024;
constexpr std::size_t deepestPlist = 32;
constexpr std::uint64_t mostPlistNodes = 20000;
// libplist decodes an entity by moving the rest of its text down, so a text
// costs its entities times its length: a few thousand bytes moved in a real
// one, and 10^11 in a megabyte of "&amp;".
constexpr std::uint64_t mostEntityWork = std::uint64_t{1} << 27;

bool startsWith(std::string_view data, std::size_t at, std::string_view prefix) {
  return data.substr(at, prefix.size()) == prefix;
}

// The element nesting and count of an XML plist, and the work of its
// entities, counted as libplist reads tags (a tag ends at the first '<' or
// '>'), erring high.
bool smallXml(std::string_view xml) {
  std::size_t depth = 0, text = 0;
  std::uint64_t elements = 0, entityWork = 0;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    const std::string_view before = xml.substr(text, at - text);
    entityWork += static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '&')) * before.size();
    if (entityWork > mostEntityWork) return false;
    text = at;
    std::string_view end;
    if (startsWith(xml, at, "<!--")) {
      end = "-->";
    } else if (startsWith(xml, at, "<![CDATA[")) {
      end = "]]>";
    } else if (startsWith(xml, at, "<?")) {
      end = "?>";
    } else if (startsWith(xml, at, "<!")) {
      end = ">";
    } else if (startsWith(xml, at, "</")) {
      depth -= depth > 0 ? 1 : 0;
    } else {
      const std::size_t close = xml.find_first_of("<>", at + 1);
      const bool empty = close != std::string_view::npos && xml[close] == '>' && xml[close - 1] == '/';
      if ((!empty && ++depth > deepestPlist) || ++elements > mostPlistNodes) return false;
    }
    if (!end.empty()) at = std::min(xml.find(end, at), xml.size());
  }
  return true;
}

// A binary plist's objects walked from the top as libplist expands them:
// every reference must resolve, and the tree they make (a shared object
// counts each time it is referred to, a string or data as one value per 64
// bytes) stays shallow and small.
bool smallBinary(std::string_view data) {
  const auto number = [&](std::size_t at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | static_cast<std::uint8_t>(data[at + i]);
    return value;
  };
  if (data.size() < 40) return false;
  const std::size_t trailer = data.size() - 32;
  const std::size_t offsetSize = static_cast<std::uint8_t>(data[trailer + 6]);
  const std::size_t refSize = static_cast<std::uint8_t>(data[trailer + 7]);
  const std::uint64_t count = number(trailer + 8, 8), top = number(trailer + 16, 8), table = number(trailer + 24, 8);
  const auto plausibleSize = [](std::size_t bytes) { return bytes == 1 || bytes == 2 || bytes == 4 || bytes == 8; };
  if (!plausibleSize(offsetSize) || !plausibleSize(refSize) || count == 0 || count > trailer || top >= count ||
      table < 8 || table > trailer || (trailer - table) / offsetSize < count)
    return false;
  // Where the references of object `index` start, how many, and what the
  // object weighs itself; none when it is malformed.
  struct Object {
    std::size_t first;
    std::uint64_t references, weight;
  };
  const auto object = [&](std::uint64_t index) -> std::optional<Object> {
    const std::uint64_t at = number(static_cast<std::size_t>(table + index * offsetSize), offsetSize);
    if (at < 8 || at >= table) return std::nullopt;
    const int marker = static_cast<std::uint8_t>(data[at]);
    const int type = marker >> 4;
    const bool container = type == 0xA || type == 0xC || type == 0xD, bytes = type >= 0x4 && type <= 0x6;
    if (!container && !bytes) return Object{at, 0, 1};
    std::uint64_t items = marker & 0xF;
    std::size_t first = at + 1;
    if (items == 0xF) {
      const int sizeMarker = first < table ? static_cast<std::uint8_t>(data[first]) : 0;
      const std::size_t size = std::size_t{1} << (sizeMarker & 0xF);
      if (sizeMarker >> 4 != 1 || size > 8 || first + 1 + size > table) return std::nullopt;
      items = number(first + 1, size);
      first += 1 + size;
    }
    // Each copy of a long string or data costs libplist its length.
    if (bytes) return items > table - first ? std::nullopt : std::optional<Object>(Object{first, 0, 1 + items / 64});
    if (type == 0xD) items *= 2;
    if (items > (table - first) / refSize) return std::nullopt;
    return Object{first, items, 1};
  };
  // Depth-first, each object finished once: its subtree's weight.
  enum : std::uint8_t { unseen, open, done };
  std::vector<std::uint8_t> state(count, unseen);
  std::vector<std::uint64_t> nodes(count, 0);
  struct Visit {
    std::uint64_t index;
    Object object;
    std::uint64_t next = 0;
  };
  std::vector<Visit> path;
  const auto enter = [&](std::uint64_t index) {
    const auto found = object(index);
    if (!found || path.size() >= deepestPlist) return false;
    state[index] = open;
    path.push_back({index, *found});
    return true;
  };
  if (!enter(top)) return false;
  while (!path.empty()) {
    Visit& visit = path.back();
    const Object& current = visit.object;
    if (visit.next == current.references) {
      std::uint64_t total = current.weight;
      for (std::uint64_t i = 0; i < current.references; ++i)
        total += nodes[number(current.first + i * refSize, refSize)];
      if (total > mostPlistNodes) return false;
      nodes[visit.index] = total;
      state[visit.index] = done;
      path.pop_back();
      continue;
    }
    const std::uint64_t child = number(current.first + visit.next++ * refSize, refSize);
    if (child >= count || state[child] == open) return false;
    if (state[child] == unseen && !enter(child)) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> smallFile(const fs::path& path, std::size_t limit) {
  // A device is never opened (opening some has effects), and a FIFO put in
  // the file's place after the check cannot hold the open.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  bool whole = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  while (whole && bytes.size() <= limit) {
    const std::size_t at = bytes.size();
    bytes.resize(std::min(limit + 1, at + 65536));
    const ssize_t got = ::read(fd, bytes.data() + at, bytes.size() - at);
    bytes.resize(at + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got == 0) break;
    if (got < 0 && errno != EINTR) whole = false;
  }
  ::close(fd);
  if (!whole || bytes.size() > limit) return std::nullopt;
  return bytes;
}

std::optional<std::string> iconFileName(std::string_view data) {
  if (data.size() > largestPlist) return std::nullopt;
  plist_t root = nullptr;
  if (data.starts_with("bplist00")) {
    if (smallBinary(data)) plist_from_bin(data.data(), static_cast<std::uint32_t>(data.size()), &root);
  } else if (smallXml(data)) {
    plist_from_xml(data.data(), static_cast<std::uint32_t>(data.size()), &root);
  }
  if (root == nullptr) return std::nullopt;
  const std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  plist_t entry = plist_dict_get_item(root, "CFBundleIconFile");
  if (entry == nullptr || plist_get_node_type(entry) != PLIST_STRING) return std::nullopt;
  // A string with a NUL inside names no file (and trips libplist's own
  // check in plist_get_string_val).
  std::uint64_t length = 0;
  const char* value = plist_get_string_ptr(entry, &length);
  const std::string name = value != nullptr ? std::string(value, length) : "";
  if (name.empty() || name.find('\0') != std::string::npos) return std::nullopt;
  return name;
}

namespace {

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

// A real index.theme is a few tens of KiB.
constexpr std::size_t largestThemeIndex = 1024 * 1024;

std::vector<ThemeDirectory> themeDirectories(const fs::path& index) {
  std::stringstream in(smallFile(index, largestThemeIndex).value_or(""));
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
  const auto plist = smallFile(bundle / "Contents" / "Info.plist", largestPlist);
  const auto name = plist ? iconFileName(*plist) : std::nullopt;
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
