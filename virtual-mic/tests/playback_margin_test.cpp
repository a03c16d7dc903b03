#include "virtual-mic/linux/playback_margin.h"

#include <gtest/gtest.h>

namespace morvik::virtualmic::linux {
namespace {

// Eight seconds of a recording pushed a chunk every 20 ms, on a virtual
// clock in milliseconds, against a server that takes the stream in 10 ms
// blocks and answers a timing request every 10 ms, as the queue drives it.
// Three times the answers stall for 80 ms (a loaded machine), which raises
// the level above what the stream holds; once the pushed audio goes quiet
// for 100 ms and comes on in time again. The stream never runs dry, and no
// chunk lands on pushed audio or where the server has read.
TEST(PlaybackMargin, RaisedLevelDelaysNoMoreThanItselfAndPushedAudioIsNeverWrittenOver) {
  constexpr std::int64_t ms = PlaybackMargin::bytesPerMs;
  PlaybackMargin margin;
  std::int64_t written = 80 * ms, pushedEnd = written;  // the lead-in and three chunks
  std::int64_t read = 0, asked = 0, lastAnswer = 0, peakLevel = 0, delay = 0;
  const auto served = [](std::int64_t t) { return (t / 10 + 1) * 10 * ms; };
  for (std::int64_t t = 0; t < 8000; ++t) {
    const bool stalled = t >= 2000 && t % 2000 < 70;
    if (t % 10 == 5 && !stalled) {
      margin.waited((t - lastAnswer) * 1000);
      lastAnswer = asked = t;
      read = served(t);
      written += margin.missing(written, read);
      peakLevel = std::max(peakLevel, margin.level());
    }
    const bool quiet = t >= 1000 && t < 1100;
    if (t % 20 == 0 && !quiet) {
      const std::int64_t at = margin.place(written, pushedEnd, 20 * ms, read + (t - asked + 1) * ms);
      ASSERT_GE(at, pushedEnd) << "pushed audio written over at " << t;
      ASSERT_GE(at, served(t)) << "written where the server had read at " << t;
      ASSERT_LE(at, written);
      ASSERT_EQ((written - at) % 4, 0);
      written = pushedEnd = at + 20 * ms;
      delay = (pushedEnd - served(t)) / ms;
    }
    ASSERT_LE(served(t), written) << "ran dry at " << t;
  }
  // The silence written up to a raised level delays the chunks that follow
  // no more than that level (it used to add up to an update's wait more, for
  // good), and the stream began with 80 ms waiting.
  ASSERT_GT(peakLevel / ms, 80);
  EXPECT_LE(delay, peakLevel / ms);
}

}  // namespace
}  // namespace morvik::virtualmic::linux
