#include "resources/gauges.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "channel/output.h"

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

TEST(Gauges, MemoryIsClampedToAPercentage) {
  EXPECT_EQ(clampPercent(150.0), 100.0);
  EXPECT_EQ(clampPercent(-3.0), 0.0);
  EXPECT_EQ(clampPercent(42.5), 42.5);
  EXPECT_EQ(clampPercent(nan), std::nullopt);
  EXPECT_EQ(clampPercent(std::nullopt), std::nullopt);
}

TEST(Gauges, MacMemoryFormula) {
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

}  // namespace
}  // namespace morvik::resources
