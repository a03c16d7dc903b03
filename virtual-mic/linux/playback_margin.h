#pragma once

// How far a playback stream of 16 kHz stereo 16-bit frames is kept ahead of
// the server, in byte positions of the stream. Plain logic, so that it runs
// on a virtual clock in the tests.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace morvik::virtualmic::linux {

class PlaybackMargin {
 public:
  static constexpr std::int64_t chunkBytes = 1280;  // 20 ms
  static constexpr std::int64_t bytesPerMs = 64;
  // While it plays, the stream never holds less than the level: when the
  // pushed audio runs late, silence fills up to it. A stream that runs dry
  // makes the server rewind the sink once audio comes again, and a
  // recording of the sink's monitor never hears the rewound part. The level
  // must outlast the wait for the next timing update and the sink's next
  // block (10 ms with the pacer): 30 ms on a quiet machine, more while this
  // process is kept waiting for the processor (the longest recent wait plus
  // a block), within the pool.
  static constexpr std::int64_t lowWater = 3 * chunkBytes / 2;
  static constexpr std::int64_t highestLevel = 12 * chunkBytes;
  static constexpr std::int64_t sinkBlock = chunkBytes / 2;
  // On a loaded machine a write reaches the server's main thread tens of
  // milliseconds after it was placed, while the sink reads on: a chunk
  // written back where the sink has read by then is rewound, and the monitor
  // loses its first samples.
  static constexpr std::int64_t writeSlack = 2 * chunkBytes;

  // A timing update came `waitUs` microseconds after the one before. The
  // longest wait is forgotten at 1 ms per 100 ms.
  void waited(std::int64_t waitUs) { longestWaitUs_ = std::max(waitUs, longestWaitUs_ - waitUs / 100); }

  std::int64_t level() const {
    return std::clamp(longestWaitUs_ / 1000 * bytesPerMs + sinkBlock, lowWater, highestLevel);
  }

  // The silence to write at `written` so that the level waits ahead of
  // `read`: whole frames.
  std::int64_t missing(std::int64_t written, std::int64_t read) const {
    return std::max<std::int64_t>(0, (level() - (written - read) + 3) / 4 * 4);
  }

  // The silence to write before a chunk pushed now. A stream found dry, or
  // within a sink block of it, because this process or the server was held
  // up, makes the server rewind the sink when the next bytes come, and the
  // monitor never hears the rewound part (up to a block): a chunk of silence
  // takes that loss instead of the chunk's first samples.
  std::int64_t leadIn(std::int64_t written, std::int64_t read) const {
    return written - read < sinkBlock ? chunkBytes : 0;
  }

  // Where a chunk of `bytes` pushed now goes. Silence written ahead is
  // latency kept once a chunk follows it, every later chunk waiting behind
  // it: so the chunk is written over the silence at the end (after
  // `pushedEnd`, where the last chunk ended) as far as the level still waits
  // ahead of `read` (the farthest the server may have read by now) once the
  // chunk is written, the chunk counting, and the chunk begins the low water
  // ahead at least, plus the slack. Only silence goes, in whole frames;
  // pushed audio is never written over, nor anywhere the server may have
  // read by the time the write reaches it.
  std::int64_t place(std::int64_t written, std::int64_t pushedEnd, std::int64_t bytes, std::int64_t read) const {
    const std::int64_t earliest = std::max(pushedEnd, read + std::max(level() - bytes, lowWater) + writeSlack);
    return earliest >= written ? written : written - (written - earliest) / 4 * 4;
  }

 private:
  std::int64_t longestWaitUs_ = 0;
};

}  // namespace morvik::virtualmic::linux
