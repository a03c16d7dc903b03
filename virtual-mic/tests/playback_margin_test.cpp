#include "virtual-mic/linux/playback_margin.h"

#include <gtest/gtest.h>

namespace morvik::virtualmic::linux {
namespace {

// A recording pushed a chunk every 20 ms, on a virtual clock in milliseconds,
// against a server that reads the stream in 10 ms blocks and answers timing
// requests as the queue drives it. On a loaded machine the answers stall for
// 80 ms three times, or come only 40 ms apart, and a write reaches the server
// as late; the pushed audio goes quiet for 100 ms, or is late for 200 ms and
// comes in a burst: the stream never runs dry, no chunk lands on pushed audio
// or where the server has read, and one written back over silence lands ahead
// of the server once it gets there. Or the process is held up for 205 ms (a
// stop signal, a machine swapping) and the stream runs dry: PulseAudio rewinds
// the sink by up to a block when bytes come again, and the monitor never hears
// the rewound part, so silence must come first there, whether the pushed
// chunks or the answer to the pending timing request come first.
TEST(PlaybackMargin, PushedAudioIsNeverWrittenOverNorBehindTheServerNorRewound) {
  constexpr std::int64_t ms = PlaybackMargin::bytesPerMs;
  const struct {
    const char* name;
    std::int64_t answerEvery, answerAt, quietUntil, lateAt;  // `late` chunks come at once at `lateAt`
    int late;
    bool stalls, held, pushFirst;
  } cases[] = {
      {"stalled answers, quiet audio", 10, 5, 1100, -1, 0, true, false, false},
      {"slow answers, late audio", 40, 0, 1200, 1200, 10, false, false, false},
      {"held up, then pushed first", 10, 5, 1205, 1205, 10, false, true, true},
      {"held up, then answered first", 10, 5, 1205, 1205, 10, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlaybackMargin margin;
    std::int64_t written = 80 * ms, pushedEnd = written;  // the lead-in and three chunks
    std::int64_t served = 0, read = 0, asked = 0, lastAnswer = 0, peakLevel = 0, delay = 0;
    std::int64_t heardFrom = 0;  // where the monitor hears again after the stream ran dry
    const auto write = [&](std::int64_t at, std::int64_t bytes, bool pushed) {
      if (served == written && heardFrom <= served) heardFrom = served + PlaybackMargin::sinkBlock;
      EXPECT_TRUE(!pushed || at >= heardFrom) << "a chunk's first samples rewound away";
      written = at + bytes;
    };
    for (std::int64_t t = 0; t < 8000; ++t) {
      if (t % 10 == 0) served = c.held ? std::min(served + 10 * ms, written) : served + 10 * ms;
      const auto push = [&](int chunks) {
        for (int n = 0; n < chunks; ++n) {
          const std::int64_t estimate = read + (t - asked + 1) * ms;
          if (const std::int64_t silence = margin.leadIn(written, estimate); silence > 0) {
            write(written, silence, false);
            pushedEnd = written;
          }
          const std::int64_t at = margin.place(written, pushedEnd, 20 * ms, estimate);
          ASSERT_GE(at, pushedEnd) << "pushed audio written over at " << t;
          ASSERT_GE(at, served) << "written where the server had read at " << t;
          ASSERT_LE(at, written);
          ASSERT_EQ((written - at) % 4, 0);
          if (at < written && !c.held) {
            ASSERT_GE(at, served + ((t + c.answerEvery) / 10 - t / 10) * 10 * ms)
                << "written back where the server reads first at " << t;
          }
          write(at, 20 * ms, true);
          pushedEnd = written;
          delay = (pushedEnd - served) / ms;
        }
      };
      const bool held = c.held && t >= 1000 && t < 1205;
      const bool stalled = c.stalls && t >= 2000 && t % 2000 < 70;
      if (t == c.lateAt && c.pushFirst) push(c.late);
      if (t % c.answerEvery == c.answerAt && !stalled && !held) {
        margin.waited((t - lastAnswer) * 1000);
        lastAnswer = asked = t;
        read = served;
        write(written, margin.missing(written, read), false);
        peakLevel = std::max(peakLevel, margin.level());
      }
      if (t == c.lateAt && !c.pushFirst) {
        push(c.late);
      } else if (t % 20 == 0 && !(t >= 1000 && t < c.quietUntil)) {
        push(1);
      }
      if (!c.held) {
        ASSERT_LE(served, written) << "ran dry at " << t;
      }
    }
    EXPECT_EQ(heardFrom > 0, c.held) << "the stream ran dry, or never";
    // The silence written up to a raised level delays the chunks that follow
    // no more than that level and the slack (it used to add up to an update's
    // wait more, for good), and the stream began with 80 ms waiting. (A
    // burst of late audio stays queued: its delay is its own.)
    ASSERT_GT(peakLevel / ms, c.stalls ? 80 : 40);
    if (c.stalls) {
      EXPECT_LE(delay, (peakLevel + PlaybackMargin::writeSlack) / ms);
    }
  }
}

}  // namespace
}  // namespace morvik::virtualmic::linux
