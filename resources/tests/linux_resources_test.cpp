// The Linux gauges on fixture trees.
#include "resources/linux/linux_resources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace morvik::resources {
namespace {

namespace fs = std::filesystem;

class FixtureTree {
 public:
  FixtureTree() {
    char pattern[] = "/tmp/morvik-resources-XXXXXX";
    root = ::mkdtemp(pattern);
  }
  ~FixtureTree() { fs::remove_all(root); }
  void write(const std::string& path, const std::string& content) const {
    fs::create_directories((root / path).parent_path());
    std::ofstream(root / path) << content;
  }
  fs::path root;
};

TEST(LinuxResources, AmdGpuAndNvidiaReadingsTogether) {
  FixtureTree tree;
  tree.write("sys/class/drm/card0/device/gpu_busy_percent", "37\n");
  tree.write("sys/class/drm/card1/device/vendor", "0x8086\n");  // an Intel GPU reports nothing
  tree.write("sys/class/drm/card0-DP-1/status", "connected\n");
  LinuxResources amdOnly(tree.root, {});
  EXPECT_EQ(sample(amdOnly).gpu, 37.0);
  LinuxResources both(tree.root, [] { return std::vector<double>{12, 64}; });
  EXPECT_EQ(sample(both).gpu, 64.0);
  LinuxResources outOfRange(tree.root, [] { return std::vector<double>{250}; });
  EXPECT_EQ(sample(outOfRange).gpu, 37.0);
}

TEST(LinuxResources, HighestFanBelow65535) {
  FixtureTree tree;
  tree.write("sys/class/hwmon/hwmon0/fan1_input", "65535\n");
  tree.write("sys/class/hwmon/hwmon0/fan2_input", "not a number\n");
  EXPECT_EQ(LinuxResources(tree.root, {}).fanSpeed(), std::nullopt) << "a lone 65535 gives nothing";
  tree.write("sys/class/hwmon/hwmon1/fan1_input", "1200\n");
  tree.write("sys/class/hwmon/hwmon3/fan2_input", "2400\n");
  tree.write("sys/class/hwmon/hwmon3/fan2_min", "9000\n");
  tree.write("sys/class/hwmon/hwmon3/temp1_input", "45000\n");
  LinuxResources fansOnly(tree.root, {});
  const auto gauges = sample(fansOnly);
  EXPECT_EQ(gauges.fanRpm, 2400.0);
  EXPECT_EQ(gauges.gpu, std::nullopt) << "no GPU folder";
  EXPECT_EQ(gauges.ram, std::nullopt) << "no meminfo";
}

TEST(LinuxResources, MemoryFromMeminfo) {
  FixtureTree tree;
  tree.write("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:         1000000 kB\nMemAvailable:    4000000 kB\n");
  EXPECT_EQ(LinuxResources(tree.root, {}).memoryInUse(), 75.0);
  tree.write("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:         1000000 kB\n");
  EXPECT_EQ(LinuxResources(tree.root, {}).memoryInUse(), std::nullopt) << "no MemAvailable";
  tree.write("proc/meminfo", "MemTotal:              0 kB\nMemAvailable:          0 kB\n");
  EXPECT_EQ(LinuxResources(tree.root, {}).memoryInUse(), std::nullopt) << "no total to divide by";
}

}  // namespace
}  // namespace morvik::resources
