#include "resources/linux/linux_resources.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

namespace morvik::resources {
namespace {

namespace fs = std::filesystem;

// "card0", "hwmon12", "fan3_input": the prefix, digits, then the suffix.
bool numberedName(const std::string& name, std::string_view prefix, std::string_view suffix = {}) {
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
    return false;
  const auto digits = std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  return std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Every entry of `folder` with a numbered name, in name order.
std::vector<fs::path> entries(const fs::path& folder, std::string_view prefix, std::string_view suffix = {}) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (numberedName(it->path().filename().string(), prefix, suffix)) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::optional<double> numberIn(const fs::path& file) {
  std::ifstream in(file);
  double value;
  if (!(in >> value)) return std::nullopt;
  return value;
}

}  // namespace

LinuxResources::LinuxResources(std::filesystem::path root, NvidiaReadings nvidia)
    : root_(std::move(root)), nvidia_(std::move(nvidia)) {}

std::vector<double> LinuxResources::gpuUtilisations() {
  std::vector<double> readings = nvidia_ ? nvidia_() : std::vector<double>{};
  for (const auto& path : entries(root_ / "sys/class/drm", "card"))
    if (auto busy = numberIn(path / "device/gpu_busy_percent")) readings.push_back(*busy);
  return readings;
}

std::optional<double> LinuxResources::fanSpeed() {
  std::vector<double> readings;
  for (const auto& hwmon : entries(root_ / "sys/class/hwmon", "hwmon"))
    for (const auto& input : entries(hwmon, "fan", "_input"))
      if (auto rpm = numberIn(input)) readings.push_back(*rpm);
  return highestFanSpeed(readings);
}

std::optional<double> LinuxResources::memoryInUse() {
  std::ifstream meminfo(root_ / "proc/meminfo");
  std::optional<double> total, available;
  std::string line;
  while (std::getline(meminfo, line)) {
    std::istringstream fields(line);
    std::string key;
    double kib;
    if (!(fields >> key >> kib)) continue;
    if (key == "MemTotal:") total = kib;
    if (key == "MemAvailable:") available = kib;
  }
  if (!total || !available || *total <= 0) return std::nullopt;
  return (*total - *available) / *total * 100;
}

}  // namespace morvik::resources
