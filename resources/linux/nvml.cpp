// NVIDIA's management library, loaded when present: no build-time
// dependency, and machines without the driver simply have no readings.
#include <dlfcn.h>

#include "resources/linux/linux_resources.h"

namespace morvik::resources {
namespace {

using nvmlReturn = int;
using nvmlDevice = struct nvmlDeviceOpaque*;
struct nvmlUtilization {
  unsigned int gpu;
  unsigned int memory;
};
constexpr nvmlReturn success = 0;

template <typename Function>
Function symbol(void* library, const char* name) {
  return reinterpret_cast<Function>(::dlsym(library, name));
}

}  // namespace

std::vector<double> nvmlUtilisations() {
  void* library = ::dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return {};
  const auto init = symbol<nvmlReturn (*)()>(library, "nvmlInit_v2");
  const auto count = symbol<nvmlReturn (*)(unsigned int*)>(library, "nvmlDeviceGetCount_v2");
  const auto handle = symbol<nvmlReturn (*)(unsigned int, nvmlDevice*)>(library, "nvmlDeviceGetHandleByIndex_v2");
  const auto utilisation =
      symbol<nvmlReturn (*)(nvmlDevice, nvmlUtilization*)>(library, "nvmlDeviceGetUtilizationRates");
  const auto shutdown = symbol<nvmlReturn (*)()>(library, "nvmlShutdown");
  std::vector<double> readings;
  if (init && count && handle && utilisation && shutdown && init() == success) {
    unsigned int devices = 0;
    if (count(&devices) == success) {
      for (unsigned int i = 0; i < devices; ++i) {
        nvmlDevice device = nullptr;
        nvmlUtilization rates{};
        if (handle(i, &device) == success && utilisation(device, &rates) == success) readings.push_back(rates.gpu);
      }
    }
    shutdown();
  }
  ::dlclose(library);
  return readings;
}

}  // namespace morvik::resources
