#include <gtest/gtest.h>

#include "virtual-mic/drain.h"

namespace morvik::virtualmic {
namespace {

TEST(Drain, WaitsForTheDeviceBeforeTrustingAStoppedQueue) {
  const struct {
    std::optional<bool> running;
    bool hasRun;
    std::size_t outstanding;
    bool done;
    const char* why;
  } cases[] = {
      {false, false, 2, false, "started at end, the device not running yet: two chunks still to play"},
      {true, true, 2, false, "playing"},
      {false, true, 1, true, "stopped after it ran"},
      {true, true, 0, true, "every buffer came back"},
      {false, false, 0, true, "nothing was enqueued"},
      {std::nullopt, false, 3, true, "the flag cannot be read"},
  };
  for (const auto& c : cases) EXPECT_EQ(drained(c.running, c.hasRun, c.outstanding), c.done) << c.why;
}

}  // namespace
}  // namespace morvik::virtualmic
