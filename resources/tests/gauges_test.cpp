// The gauges' rules and output, the fan speeds read from the SMC, and the
// Linux gauges on fixture trees.
#include "resources/gauges.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "channel/output.h"
#include "resources/smc.h"
#ifdef MORVIK_RESOURCES_LINUX
#include <filesystem>
#include <fstream>

#include "resources/linux/linux_resources.h"
#endif

namespace morvik::resources {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(Gauges, GpuIsTheHighestValidReading) {
  const struct {
    std::vector<double> readings;
    std::optional<double> expected;
  } cases[] = {
      {{}, std::nullopt},      {{100.5}, std::nullopt}, {{nan}, std::nullopt},     {{0}, 0.0},
      {{12, 100.5, 40}, 40.0}, {{100}, 100.0},          {{-1, inf}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(highestUtilisation(c.readings), c.expected);
}

TEST(Gauges, MemoryIsAClampedPercentageAndTheMacFormula) {
  EXPECT_EQ(clampPercent(150.0), 100.0);
  EXPECT_EQ(clampPercent(-3.0), 0.0);
  EXPECT_EQ(clampPercent(42.5), 42.5);
  EXPECT_EQ(clampPercent(nan), std::nullopt);
  EXPECT_EQ(clampPercent(std::nullopt), std::nullopt);
  // 16 KiB pages, 16 GiB of memory: 1048576 pages in all.
  const double page = 16384, physical = 17179869184.0;
  EXPECT_DOUBLE_EQ(macMemoryInUse({100000, 50000, 30000, 20000, 60000, 9000}, page, physical),
                   131000.0 / 1048576 * 100);
  // More file-backed than active pages gives a negative figure, which the clamp holds at 0.
  EXPECT_EQ(clampPercent(macMemoryInUse({10, 0, 0, 0, 4000000000u, 0}, page, physical)), 0.0);
  // The counts are added in double precision: four near-maximal counts do not wrap.
  EXPECT_GT(macMemoryInUse({4000000000u, 4000000000u, 4000000000u, 4000000000u, 0, 0}, page, physical), 100);
}

// Zero is a reading, not an absent one.
TEST(Gauges, OutputObject) {
  EXPECT_EQ(channel::serialize(sampleObject({})), R"({"gpu":null,"fanRpm":null})");
  EXPECT_EQ(channel::serialize(sampleObject({0.0, std::nullopt, 0.0})), R"({"gpu":0,"fanRpm":null,"ram":0})");
}

TEST(SmcBlock, LayoutOfTheParameterBlock) {
  SmcBlock block;
  block.setKey("FNum");
  block.setDataSize(2);
  block.setDataType(fourCharCode("fpe2"));
  block.setCommand(SmcBlock::readBytes);
  block.bytes()[0] = 0xAB;
  EXPECT_EQ(SmcBlock::size, 80u);
  // The key as a little-endian integer whose most significant byte is 'F'.
  EXPECT_EQ((std::vector<std::uint8_t>(block.raw.begin(), block.raw.begin() + 4)),
            (std::vector<std::uint8_t>{'m', 'u', 'N', 'F'}));
  EXPECT_EQ(block.raw[28], 2);
  EXPECT_EQ((std::vector<std::uint8_t>(block.raw.begin() + 32, block.raw.begin() + 36)),
            (std::vector<std::uint8_t>{'2', 'e', 'p', 'f'}));
  EXPECT_EQ(block.raw[42], 5);
  EXPECT_EQ(block.raw[48], 0xAB);
}

// An SMC with a table of keys, answering as the kernel service does.
class FakeSmc final : public SmcTransport {
 public:
  struct Key {
    std::string type;
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
  };
  std::map<std::string, Key> keys;
  std::size_t outputSize = SmcBlock::size;
  std::uint8_t result = 0;
  std::vector<std::string> asked;

  bool call(const SmcBlock& input, SmcBlock& output, std::size_t& size) override {
    EXPECT_EQ(size, SmcBlock::size);
    std::string key;
    for (int shift = 24; shift >= 0; shift -= 8) key += static_cast<char>(input.key() >> shift);
    asked.push_back(key + ":" + std::to_string(input.command()));
    size = outputSize;
    const auto found = keys.find(key);
    if (found == keys.end()) {
      output.setResult(0x84);  // key not found
      return true;
    }
    output.setResult(result);
    if (input.command() == SmcBlock::readKeyInfo) {
      output.setDataSize(found->second.size);
      output.setDataType(fourCharCode(found->second.type));
    } else {
      EXPECT_EQ(input.dataSize(), found->second.size);
      std::copy(found->second.bytes.begin(), found->second.bytes.end(), output.bytes());
    }
    return true;
  }
};

FakeSmc::Key fpe2(unsigned rpm) {
  const unsigned raw = rpm * 4;
  return {"fpe2", 2, {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)}};
}

FakeSmc::Key ui8(std::uint8_t value) { return {"ui8 ", 1, {value}}; }

TEST(MaximumFanRPM, FanCountAndReadings) {
  const struct {
    const char* name;
    FakeSmc::Key count;
    std::vector<FakeSmc::Key> fans;
    std::optional<double> expected;
  } cases[] = {
      {"no fans", ui8(0), {fpe2(1200)}, std::nullopt},
      {"seventeen fans", ui8(17), {fpe2(1200)}, std::nullopt},
      {"fan count of another type", {"flt ", 4, {0x00, 0x00, 0x00, 0x40}}, {fpe2(1200), fpe2(2400)}, 2400.0},  // 2.0f
      {"lone 65535", ui8(1), {{"ui16", 2, {0xFF, 0xFF}}}, std::nullopt},
      {"65535 beside a real one", ui8(2), {{"ui16", 2, {0xFF, 0xFF}}, {"ui16", 2, {0x03, 0x84}}}, 900.0},
      {"zero is a reading", ui8(1), {{"ui16", 2, {0, 0}}}, 0.0},
      {"quarters", ui8(1), {{"fpe2", 2, {0x1C, 0x23}}}, 1800.75},
      {"float", ui8(1), {{"flt ", 4, {0x00, 0x00, 0x96, 0x44}}}, 1200.0},
      {"NaN", ui8(1), {{"flt ", 4, {0x00, 0x00, 0xC0, 0x7F}}}, std::nullopt},
      {"negative", ui8(1), {{"flt ", 4, {0x00, 0x00, 0x80, 0xBF}}}, std::nullopt},
  };
  for (const auto& c : cases) {
    FakeSmc smc;
    smc.keys["FNum"] = c.count;
    for (std::size_t i = 0; i < c.fans.size(); ++i) smc.keys["F" + std::to_string(i) + "Ac"] = c.fans[i];
    EXPECT_EQ(maximumFanRPM(smc), c.expected) << c.name;
  }
}

TEST(MaximumFanRPM, KeysInUpperCaseHexadecimal) {
  FakeSmc smc;
  smc.keys = {{"FNum", ui8(16)}, {"FAAc", fpe2(3000)}, {"FFAc", fpe2(100)}, {"F9Ac", fpe2(200)}};
  EXPECT_EQ(maximumFanRPM(smc), 3000.0);
  EXPECT_EQ(smc.asked.back(), "FFAc:5");
  EXPECT_EQ(smc.asked.size(), 2u + 2 * 3 + 13);  // FNum twice, three fans twice, thirteen missing once
}

TEST(SmcValueOfKey, FailuresGiveNothing) {
  const struct {
    const char* name;
    FakeSmc::Key key;
    std::size_t outputSize;
    std::uint8_t result;
  } cases[] = {
      {"data size 0", {"ui8 ", 0, {}}, 80, 0},
      {"data size 33", {"ui8 ", 33, {}}, 80, 0},
      {"short output", {"ui8 ", 1, {1}}, 79, 0},
      {"result byte set", {"ui8 ", 1, {1}}, 80, 1},
      {"fpe2 of 4 bytes", {"fpe2", 4, {0x1C, 0x20}}, 80, 0},
      {"ui16 of 1 byte", {"ui16", 1, {0x09}}, 80, 0},
      {"ui8 of 2 bytes", {"ui8 ", 2, {0x01, 0x02}}, 80, 0},
      {"flt of 2 bytes", {"flt ", 2, {0x00, 0x00}}, 80, 0},
      {"unknown type", {"si16", 2, {0x00, 0x01}}, 80, 0},
  };
  for (const auto& c : cases) {
    FakeSmc smc;
    smc.keys = {{"TEST", c.key}};
    smc.outputSize = c.outputSize;
    smc.result = c.result;
    EXPECT_EQ(smcValue(smc, "TEST"), std::nullopt) << c.name;
  }
  FakeSmc working;
  working.keys = {{"TEST", ui8(7)}};
  EXPECT_EQ(smcValue(working, "TEST"), 7.0);
  EXPECT_EQ(working.asked, (std::vector<std::string>{"TEST:9", "TEST:5"}));
}

#ifdef MORVIK_RESOURCES_LINUX
namespace fs = std::filesystem;

// One fixture machine gains its fans, then its GPUs, then its memory.
TEST(LinuxResources, FansGpusAndMemory) {
  char pattern[] = "/tmp/morvik-resources-XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  const auto write = [&](const std::string& path, const std::string& content) {
    fs::create_directories((root / path).parent_path());
    std::ofstream(root / path) << content;
  };
  write("sys/class/hwmon/hwmon0/fan1_input", "65535\n");
  write("sys/class/hwmon/hwmon0/fan2_input", "not a number\n");
  EXPECT_EQ(LinuxResources(root, {}).fanSpeed(), std::nullopt) << "a lone 65535 gives nothing";
  write("sys/class/hwmon/hwmon1/fan1_input", "1200\n");
  write("sys/class/hwmon/hwmon3/fan2_input", "2400\n");
  write("sys/class/hwmon/hwmon3/fan2_min", "9000\n");
  write("sys/class/hwmon/hwmon3/temp1_input", "45000\n");
  LinuxResources fansOnly(root, {});
  const auto gauges = sample(fansOnly);
  EXPECT_EQ(gauges.fanRpm, 2400.0);
  EXPECT_EQ(gauges.gpu, std::nullopt) << "no GPU folder";
  EXPECT_EQ(gauges.ram, std::nullopt) << "no meminfo";

  write("sys/class/drm/card0/device/gpu_busy_percent", "37\n");
  write("sys/class/drm/card1/device/vendor", "0x8086\n");  // an Intel GPU reports nothing
  write("sys/class/drm/card0-DP-1/status", "connected\n");
  LinuxResources amdOnly(root, {});
  EXPECT_EQ(sample(amdOnly).gpu, 37.0);
  LinuxResources both(root, [] { return std::vector<double>{12, 64}; });
  EXPECT_EQ(sample(both).gpu, 64.0);
  LinuxResources outOfRange(root, [] { return std::vector<double>{250}; });
  EXPECT_EQ(sample(outOfRange).gpu, 37.0);

  write("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:         1000000 kB\nMemAvailable:    4000000 kB\n");
  EXPECT_EQ(LinuxResources(root, {}).memoryInUse(), 75.0);
  write("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:         1000000 kB\n");
  EXPECT_EQ(LinuxResources(root, {}).memoryInUse(), std::nullopt) << "no MemAvailable";
  write("proc/meminfo", "MemTotal:              0 kB\nMemAvailable:          0 kB\n");
  EXPECT_EQ(LinuxResources(root, {}).memoryInUse(), std::nullopt) << "no total to divide by";
  fs::remove_all(root);
}
#endif

}  // namespace
}  // namespace morvik::resources
