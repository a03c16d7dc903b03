#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "channel/main_loop.h"
#include "channel/manual_loop.h"

namespace morvik::channel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ManualLoop, RunsPostedTasksInOrderIncludingTasksTheyPost) {
  ManualLoop loop;
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.post([&] { order.push_back(3); });
  });
  loop.post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  loop.runReady();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualLoop, TimersFireInTimeOrderOnTheVirtualClock) {
  ManualLoop loop;
  std::vector<std::string> fired;
  auto repeating =
      loop.schedule(seconds(3), true, [&] { fired.push_back("tick@" + std::to_string(loop.elapsed() / seconds(1))); });
  auto once = loop.schedule(seconds(4), false, [&] { fired.push_back("once"); });
  loop.advance(seconds(2));
  EXPECT_TRUE(fired.empty());
  loop.advance(seconds(5));
  EXPECT_EQ(fired, (std::vector<std::string>{"tick@3", "once", "tick@6"}));
  EXPECT_EQ(loop.activeTimers(), 1u);
}

TEST(ManualLoop, InvalidatedTimerNeverFiresAgain) {
  ManualLoop loop;
  int ticks = 0;
  std::unique_ptr<Timer> timer;
  timer = loop.schedule(seconds(1), true, [&] {
    if (++ticks == 2) timer->invalidate();
  });
  loop.advance(seconds(10));
  EXPECT_EQ(ticks, 2);
  auto dropped = loop.schedule(seconds(1), true, [&] { ++ticks; });
  dropped.reset();
  loop.advance(seconds(10));
  EXPECT_EQ(ticks, 2);
}

TEST(ManualLoop, RepeatingTimerThatFallsBehindSkipsMissedTicks) {
  ManualLoop loop;
  std::vector<long> at;
  auto timer = loop.schedule(seconds(3), true, [&] { at.push_back(loop.elapsed() / seconds(1)); });
  loop.stall(seconds(10));
  loop.runReady();
  EXPECT_EQ(at, (std::vector<long>{10}));  // one late tick, not three
  loop.advance(seconds(2));
  EXPECT_EQ(at, (std::vector<long>{10, 12}));  // back on the 3-second grid
}

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
