#include "resources/gauges.h"

#include <algorithm>
#include <cmath>

namespace morvik::resources {
namespace {

template <typename Valid>
std::optional<double> highest(const std::vector<double>& readings, Valid valid) {
  std::optional<double> best;
  for (const double r : readings)
    if (std::isfinite(r) && valid(r) && (!best || r > *best)) best = r;
  return best;
}

// Whole figures are written without a fraction, as the platform's JSON writer does.
channel::Json number(double value) {
  if (std::trunc(value) == value && std::fabs(value) < 9007199254740992.0) return static_cast<std::int64_t>(value);
  return value;
}

channel::Json numberOrNull(const std::optional<double>& value) {
  return value ? number(*value) : channel::Json(nullptr);
}

}  // namespace

std::optional<double> highestUtilisation(const std::vector<double>& readings) {
  return highest(readings, [](double r) { return r >= 0 && r <= 100; });
}

std::optional<double> highestFanSpeed(const std::vector<double>& readings) {
  return highest(readings, [](double r) { return r >= 0 && r < 65535; });
}

std::optional<double> clampPercent(std::optional<double> percent) {
  if (!percent || std::isnan(*percent)) return std::nullopt;
  return std::max(std::min(*percent, 100.0), 0.0);
}

double macMemoryInUse(const VmPageCounts& counts, double pageSize, double physicalMemory) {
  const double pages = static_cast<double>(counts.active) + static_cast<double>(counts.inactive) +
                       static_cast<double>(counts.wired) + static_cast<double>(counts.compressor) -
                       static_cast<double>(counts.external) - static_cast<double>(counts.purgeable);
  return pages * pageSize / physicalMemory * 100;
}

Gauges sample(ResourcePlatform& platform) {
  return {highestUtilisation(platform.gpuUtilisations()), platform.fanSpeed(), clampPercent(platform.memoryInUse())};
}

channel::Json sampleObject(const Gauges& gauges) {
  channel::Json object = {{"gpu", numberOrNull(gauges.gpu)}, {"fanRpm", numberOrNull(gauges.fanRpm)}};
  if (gauges.ram) object["ram"] = number(*gauges.ram);
  return object;
}

}  // namespace morvik::resources
