#include "virtual-mic/linux/playback_margin.h"

#include <gtest/gtest.h>

namespace morvik::virtualmic::linux {
namespace {

// Eight seconds of a recording pushed a chunk every 20 ms, on a virtual
// clock in milliseconds, against a server that takes the stream in 10 ms
// blocks and answers timing requests as the queue drives it. On a loaded
// machine the answers stall for 80 ms three times, which raises the level
// above what the stream holds, or come only 40 ms apart, which raises it to
// 50 ms, and a write reaches the server as late. The pushed audio goes quiet
// for 100 ms, or is late for 200 ms and comes in a burst. The stream never
// runs dry, no chunk lands on pushed audio or where the server has read,
// and a chunk written back over silence lands ahead of the server once it
// gets there.
TEST(PlaybackMargin, PushedAudioIsNeverWrittenOverNorBehindTheServer) {
  constexpr std::int64_t ms = PlaybackMargin::bytesPerMs;
  const auto served = [](std::int64_t t) { return (t / 10 + 1) * 10 * ms; };
  const struct {
    const char* name;
    std::int64_t answerEvery, answerAt;
    bool stalls;
    int burst;
  } cases[] = {{"stalled answers, quiet audio", 10, 5, true, 0}, {"slow answers, late audio", 40, 0, false, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlaybackMargin margin;
    std::int64_t written = 80 * ms, pushedEnd = written;  // the lead-in and three chunks
    std::int64_t read = 0, asked = 0, lastAnswer = 0, peakLevel = 0, delay = 0;
    for (std::int64_t t = 0; t < 8000; ++t) {
      const bool stalled = c.stalls && t >= 2000 && t % 2000 < 70;
      if (t % c.answerEvery == c.answerAt && !stalled) {
        margin.waited((t - lastAnswer) * 1000);
        lastAnswer = asked = t;
        read = served(t);
        written += margin.missing(written, read);
        peakLevel = std::max(peakLevel, margin.level());
      }
      const bool quiet = t >= 1000 && t < (c.burst ? 1200 : 1100);
      for (int n = 0; n < (t == 1200 && c.burst ? c.burst : 1) && t % 20 == 0 && !quiet; ++n) {
        const std::int64_t at = margin.place(written, pushedEnd, 20 * ms, read + (t - asked + 1) * ms);
        ASSERT_GE(at, pushedEnd) << "pushed audio written over at " << t;
        ASSERT_GE(at, served(t)) << "written where the server had read at " << t;
        ASSERT_LE(at, written);
        ASSERT_EQ((written - at) % 4, 0);
        if (at < written) {
          ASSERT_GE(at, served(t + c.answerEvery)) << "written back where the server reads first at " << t;
        }
        written = pushedEnd = at + 20 * ms;
        delay = (pushedEnd - served(t)) / ms;
      }
      ASSERT_LE(served(t), written) << "ran dry at " << t;
    }
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

// The process held up for 205 ms (a stop signal, a machine swapping) while
// the server reads on in 10 ms blocks: the stream runs dry. When bytes come
// again, PulseAudio rewinds the sink by up to a block and the monitor never
// hears the rewound part: what comes first there must be silence, whether
// the pushed chunks or the answer to the pending timing request come first.
TEST(PlaybackMargin, FirstBytesAfterTheStreamRanDryAreSilence) {
  constexpr std::int64_t ms = PlaybackMargin::bytesPerMs;
  for (const bool pushFirst : {true, false}) {
    SCOPED_TRACE(pushFirst ? "push first" : "answer first");
    PlaybackMargin margin;
    std::int64_t written = 80 * ms, pushedEnd = written, served = 0, read = 0, asked = 0, lastAnswer = 0;
    std::int64_t heardFrom = 0;  // where the monitor hears again after the stream ran dry
    const auto write = [&](std::int64_t at, std::int64_t bytes, bool pushed) {
      if (served == written && heardFrom <= served) heardFrom = served + PlaybackMargin::sinkBlock;
      if (pushed) {
        EXPECT_GE(at, heardFrom) << "a chunk's first samples rewound away";
      }
      written = std::max(written, at + bytes);
    };
    for (std::int64_t t = 0; t < 1500; ++t) {
      const bool held = t >= 1000 && t < 1205;
      if (t % 10 == 0) served = std::min(served + 10 * ms, written);
      const auto answer = [&] {
        margin.waited((t - lastAnswer) * 1000);
        lastAnswer = asked = t;
        read = served;
        write(written, margin.missing(written, read), false);
      };
      const auto push = [&](int chunks) {
        for (int c = 0; c < chunks; ++c) {
          const std::int64_t estimate = read + (t - asked + 1) * ms;
          if (const std::int64_t silence = margin.leadIn(written, estimate); silence > 0) {
            write(written, silence, false);
            pushedEnd = written;
          }
          const std::int64_t at = margin.place(written, pushedEnd, 20 * ms, estimate);
          write(at, 20 * ms, true);
          pushedEnd = at + 20 * ms;
        }
      };
      if (t == 1205 && pushFirst) push(10);
      if (!held && t % 10 == 5) answer();
      if (t == 1205 && !pushFirst) push(10);
      if (!held && t % 20 == 0) push(1);
    }
    EXPECT_GT(heardFrom, 0) << "the stream never ran dry";
  }
}

}  // namespace
}  // namespace morvik::virtualmic::linux
