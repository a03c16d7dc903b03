// morvik-resources as the application runs it.
#include <gtest/gtest.h>

#include <regex>

#include "testsupport/process.h"

namespace morvik::resources {
namespace {

// One object without a line feed: GPU and fan each a number or null, the
// memory in use a percentage or nothing.
void expectOneSample(const testing::RunResult& run) {
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_EQ(run.errors, "");
  const std::regex sample(
      R"(\{"gpu":(null|[0-9.e+]+),"fanRpm":(null|[0-9.e+]+)(,"ram":(100|[0-9]{1,2}(\.[0-9]+)?))?\})");
  EXPECT_TRUE(std::regex_match(run.output, sample)) << run.output;
}

TEST(ResourcesProcess, PrintsOneObjectWithoutALineFeedWhateverItsArgumentsAndInput) {
  expectOneSample(testing::runProcess(MORVIK_RESOURCES));
  expectOneSample(testing::runProcess(MORVIK_RESOURCES, {"--check-save", "x"}, "{\"id\":1}\n"));
  const auto simulated = testing::runProcess(MORVIK_RESOURCES_SIM);
  expectOneSample(simulated);
  EXPECT_EQ(simulated.output, R"({"gpu":23,"fanRpm":1850,"ram":47.5})");
}

}  // namespace
}  // namespace morvik::resources
