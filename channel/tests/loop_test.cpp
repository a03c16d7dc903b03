#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "channel/main_loop.h"
#include "channel/manual_loop.h"

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

// A tick slower than its interval (a snapshot against a hung application) must not make
// the test loop fire for ever: missed times are skipped and the clock never goes back.
TEST(ManualLoop, SlowRepeatingTickSkipsMissedTimes) {
  ManualLoop loop;
  int ticks = 0;
  auto timer = loop.schedule(milliseconds(600), true, [&] {
    ++ticks;
    loop.stall(milliseconds(1000));
  });
  loop.advance(milliseconds(2000));
  EXPECT_EQ(ticks, 2);  // at 0.6 s and 1.8 s
  EXPECT_EQ(loop.elapsed(), milliseconds(2800));
}

}  // namespace
}  // namespace morvik::channel
