// The Mac's gauges, in plain C++ against IOKit and Mach: the accelerators'
// "Device Utilization %", the fans through the AppleSMC service, and the
// 64-bit virtual-memory statistics.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <mach/mach.h>
#include <sys/sysctl.h>

#include "resources/platform.h"
#include "resources/smc.h"

namespace morvik::resources {
namespace {

constexpr std::uint32_t smcStructSelector = 2;

class AppleSmc final : public SmcTransport {
 public:
  explicit AppleSmc(io_connect_t connection) : connection_(connection) {}
  bool call(const SmcBlock& input, SmcBlock& output, std::size_t& outputSize) override {
    return IOConnectCallStructMethod(connection_, smcStructSelector, input.raw.data(), SmcBlock::size,
                                     output.raw.data(), &outputSize) == kIOReturnSuccess;
  }

 private:
  io_connect_t connection_;
};

std::optional<double> utilisationOf(io_service_t service) {
  CFTypeRef statistics =
      IORegistryEntryCreateCFProperty(service, CFSTR("PerformanceStatistics"), kCFAllocatorDefault, 0);
  if (statistics == nullptr) return std::nullopt;
  std::optional<double> utilisation;
  if (CFGetTypeID(statistics) == CFDictionaryGetTypeID()) {
    const void* number = CFDictionaryGetValue(static_cast<CFDictionaryRef>(statistics), CFSTR("Device Utilization %"));
    double value = 0;
    if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberDoubleType, &value))
      utilisation = value;
  }
  CFRelease(statistics);
  return utilisation;
}

class MacResources final : public ResourcePlatform {
 public:
  std::vector<double> gpuUtilisations() override {
    std::vector<double> readings;
    io_iterator_t iterator = IO_OBJECT_NULL;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("IOAccelerator"), &iterator) !=
        kIOReturnSuccess)
      return readings;
    while (io_service_t service = IOIteratorNext(iterator)) {
      if (auto reading = utilisationOf(service)) readings.push_back(*reading);
      IOObjectRelease(service);
    }
    IOObjectRelease(iterator);
    return readings;
  }

  std::optional<double> fanSpeed() override {
    io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
    if (service == IO_OBJECT_NULL) return std::nullopt;
    io_connect_t connection = IO_OBJECT_NULL;
    if (IOServiceOpen(service, mach_task_self(), 0, &connection) != kIOReturnSuccess) {
      IOObjectRelease(service);
      return std::nullopt;
    }
    AppleSmc smc(connection);
    const auto rpm = maximumFanRPM(smc);
    IOServiceClose(connection);
    IOObjectRelease(service);
    return rpm;
  }

  std::optional<double> memoryInUse() override {
    vm_statistics64_data_t stats{};
    mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
    if (host_statistics64(mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&stats), &count) !=
        KERN_SUCCESS)
      return std::nullopt;
    // The figure NSProcessInfo's physicalMemory reports.
    std::uint64_t physical = 0;
    std::size_t size = sizeof physical;
    if (sysctlbyname("hw.memsize", &physical, &size, nullptr, 0) != 0 || physical == 0) return std::nullopt;
    const VmPageCounts counts{stats.active_count,          stats.inactive_count,      stats.wire_count,
                              stats.compressor_page_count, stats.external_page_count, stats.purgeable_count};
    return macMemoryInUse(counts, static_cast<double>(vm_kernel_page_size), static_cast<double>(physical));
  }
};

}  // namespace

std::unique_ptr<ResourcePlatform> makeResourcePlatform() { return std::make_unique<MacResources>(); }

}  // namespace morvik::resources
