#pragma once

// One sample of the machine's gauges, the rules every platform's readings
// go through, and the object morvik-resources prints.

#include <cstdint>
#include <optional>
#include <vector>

#include "channel/json.h"

namespace morvik::resources {

struct Gauges {
  std::optional<double> gpu;
  std::optional<double> fanRpm;
  std::optional<double> ram;
};

// What a platform reads; each gives nothing (or no readings) where it has no source.
class ResourcePlatform {
 public:
  virtual ~ResourcePlatform() = default;
  // The utilisation of every accelerator, in percent, as read.
  virtual std::vector<double> gpuUtilisations() = 0;
  virtual std::optional<double> fanSpeed() = 0;
  // Memory in use, in percent of physical memory, before clamping.
  virtual std::optional<double> memoryInUse() = 0;
};

// The highest reading that is finite and within 0 to 100.
std::optional<double> highestUtilisation(const std::vector<double>& readings);
// The highest reading that is finite, at least 0 and below 65535.
std::optional<double> highestFanSpeed(const std::vector<double>& readings);
// A percentage kept within 0 to 100; nothing when it is not a number.
std::optional<double> clampPercent(std::optional<double> percent);

// The 64-bit virtual-memory counts of a Mac that the memory figure uses.
struct VmPageCounts {
  std::uint32_t active = 0;
  std::uint32_t inactive = 0;
  std::uint32_t wired = 0;
  std::uint32_t compressor = 0;
  std::uint32_t external = 0;
  std::uint32_t purgeable = 0;
};
// Pages in use (active + inactive + wired + compressed - file-backed -
// purgeable) times the page size, in percent of physical memory; unclamped.
double macMemoryInUse(const VmPageCounts& counts, double pageSize, double physicalMemory);

Gauges sample(ResourcePlatform& platform);

// {"gpu": number or null, "fanRpm": number or null, "ram": number when measured}.
channel::Json sampleObject(const Gauges& gauges);

}  // namespace morvik::resources
