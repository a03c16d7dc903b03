// morvik-resources as the application runs it.
#include <gtest/gtest.h>

#include "channel/json.h"
#include "testsupport/process.h"

namespace morvik::resources {
namespace {

void expectOneSample(const testing::RunResult& run) {
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_EQ(run.errors, "");
  ASSERT_FALSE(run.output.empty());
  EXPECT_NE(run.output.back(), '\n') << "no line feed after the object";
  const auto object = channel::parseObject(run.output);
  ASSERT_TRUE(object) << run.output;
  for (const char* key : {"gpu", "fanRpm"}) {
    ASSERT_TRUE(object->contains(key)) << run.output;
    EXPECT_TRUE((*object)[key].is_null() || (*object)[key].is_number()) << run.output;
  }
  if (object->contains("ram")) {
    const double ram = (*object)["ram"].get<double>();
    EXPECT_TRUE(ram >= 0 && ram <= 100) << run.output;
  }
  EXPECT_LE(object->size(), 3u) << run.output;
}

TEST(ResourcesProcess, PrintsOneObjectWithoutALineFeedWhateverItsArgumentsAndInput) {
  expectOneSample(testing::runProcess(MORVIK_RESOURCES));
  expectOneSample(testing::runProcess(MORVIK_RESOURCES, {"--check-save", "x"}, "{\"id\":1}\n"));
}

TEST(ResourcesProcess, SimulatedMachine) {
  const auto run = testing::runProcess(MORVIK_RESOURCES_SIM);
  EXPECT_EQ(run.output, R"({"gpu":23,"fanRpm":1850,"ram":47.5})");
  EXPECT_EQ(run.exit.status, 0);
}

}  // namespace
}  // namespace morvik::resources
