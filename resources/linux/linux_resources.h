#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "resources/gauges.h"

namespace morvik::resources {

// Linux gauges: NVIDIA utilisation through NVML, AMD's gpu_busy_percent,
// hwmon fans and /proc/meminfo. Files are read below `root` ("/" in the
// program, a fixture tree in tests).
class LinuxResources final : public ResourcePlatform {
 public:
  using NvidiaReadings = std::function<std::vector<double>()>;

  LinuxResources(std::filesystem::path root, NvidiaReadings nvidia);

  std::vector<double> gpuUtilisations() override;
  std::optional<double> fanSpeed() override;
  std::optional<double> memoryInUse() override;

 private:
  std::filesystem::path root_;
  NvidiaReadings nvidia_;
};

// The utilisation of every NVIDIA GPU, from the driver's NVML library loaded
// at run time; none when the library or a GPU is missing.
std::vector<double> nvmlUtilisations();

}  // namespace morvik::resources
