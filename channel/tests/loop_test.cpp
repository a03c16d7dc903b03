#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "channel/main_loop.h"

namespace morvik::channel {
namespace {

using std::chrono::milliseconds;

TEST(PlatformLoop, RunsTasksPostedFromOtherThreadsInOrderAndStops) {
  auto loop = makePlatformLoop();
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop->post([&order, i] { order.push_back(i); });
    loop->post([&] { loop->stop(); });
  });
  loop->run();
  poster.join();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(PlatformLoop, OneShotRunsOnceAndInvalidatedTimerNever) {
  auto loop = makePlatformLoop();
  int once = 0, repeating = 0, cancelled = 0;
  auto dead = loop->schedule(milliseconds(1), false, [&] { ++cancelled; });
  dead->invalidate();
  std::unique_ptr<Timer> ticker, end;
  auto single = loop->schedule(milliseconds(2), false, [&] { ++once; });
  ticker = loop->schedule(milliseconds(1), true, [&] {
    if (++repeating < 3) return;
    ticker->invalidate();
    // Ends later than every deadline above, however late the ticks came.
    end = loop->schedule(milliseconds(20), false, [&] { loop->stop(); });
  });
  loop->run();
  EXPECT_EQ(once, 1);
  EXPECT_EQ(repeating, 3);
  EXPECT_EQ(cancelled, 0);
}

}  // namespace
}  // namespace morvik::channel
