// On Linux: the delay from an "audio" line to the moment PulseAudio has
// played its samples into the "BlackHole 2ch" null sink (the server's read
// position past them), through the real helper logic and PulseAudio layer,
// with the chunks pushed every 20 ms as the application does; then a bursty
// push (60 s by default) recorded through the sink's monitor, counting the
// pushed samples the monitor never heard. A recording of the monitor hears
// the audio that much later plus its own latency.
//   virtual_mic_latency [STEADY_CHUNKS [BURSTY_CHUNKS (0: none)]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "channel/base64.h"
#include "channel/output.h"
#include "testsupport/sound_server.h"
#include "virtual-mic/virtual_mic.h"

namespace {

using namespace morvik;
using Clock = std::chrono::steady_clock;

// Passes everything to PulseAudio and notes when each buffer comes back.
class TimedSystem final : public virtualmic::AudioSystem {
 public:
  explicit TimedSystem(virtualmic::AudioSystem& real) : real_(real) {}
  virtualmic::OSStatus deviceListSize(std::uint32_t& bytes) override { return real_.deviceListSize(bytes); }
  virtualmic::OSStatus deviceList(std::vector<virtualmic::AudioObjectID>& ids) override {
    return real_.deviceList(ids);
  }
  virtualmic::OSStatus deviceName(virtualmic::AudioObjectID id, std::string& name) override {
    return real_.deviceName(id, name);
  }
  virtualmic::OSStatus deviceUID(virtualmic::AudioObjectID id, std::string& uid) override {
    return real_.deviceUID(id, uid);
  }
  virtualmic::OSStatus newOutput(const virtualmic::StreamFormat& format, virtualmic::OutputCallback callback,
                                 void* userData, std::unique_ptr<virtualmic::AudioQueue>& queue) override {
    callback_ = callback;
    userData_ = userData;
    return real_.newOutput(format, &TimedSystem::played, this, queue);
  }

  std::vector<Clock::time_point> playedAt() {
    std::lock_guard lock(mutex_);
    return played_;
  }

 private:
  static void played(void* self, virtualmic::AudioQueue& queue, virtualmic::AudioQueueBuffer* buffer) {
    auto* timed = static_cast<TimedSystem*>(self);
    {
      std::lock_guard lock(timed->mutex_);
      timed->played_.push_back(Clock::now());
    }
    timed->callback_(timed->userData_, queue, buffer);
  }

  virtualmic::AudioSystem& real_;
  virtualmic::OutputCallback callback_ = nullptr;
  void* userData_ = nullptr;
  std::mutex mutex_;
  std::vector<Clock::time_point> played_;
};

// One recording pushed through the helper's logic into PulseAudio: steady
// (a chunk every 20 ms) or bursty (bursts of 1 to 12 chunks, each sent when
// its last chunk is due). Prints line -> played; with a monitor recording,
// also the pushed samples it never heard.
bool run(testing::PulseServer& server, int chunks, bool bursty) {
  auto monitor = bursty ? server.recordMonitor() : nullptr;
  auto real = virtualmic::makeAudioSystem();
  TimedSystem timed(*real);
  channel::RecordingOutput out;
  virtualmic::VirtualMic mic(out, timed, virtualmic::steadyClock());
  mic.receiveLine(R"({"op":"prepare"})");
  mic.receiveLine(R"({"op":"start","session":1})");
  std::vector<Clock::time_point> sent;
  std::vector<std::int16_t> pushed;
  std::string recording;
  const auto start = Clock::now();
  for (int c = 0, burst = 0; c < chunks; ++burst) {
    const int size = bursty ? std::min(1 + burst * 7 % 12, chunks - c) : 1;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (c + size - 1)));
    for (int i = 0; i < size; ++i, ++c) {
      channel::Bytes pcm;
      for (int j = 0; j < 320; ++j) {
        // Never 0, and never the same within 30000 samples.
        const auto sample = static_cast<std::int16_t>((c * 320 + j) % 30000 + 1);
        pushed.push_back(sample);
        pcm.insert(pcm.end(), {static_cast<std::uint8_t>(sample), static_cast<std::uint8_t>(sample >> 8)});
      }
      sent.push_back(Clock::now());
      mic.receiveLine(R"({"op":"audio","session":1,"pcm":")" + channel::encodeBase64(pcm) + "\"}");
    }
    // Keeps the recorder's pipe from filling.
    if (monitor) recording += monitor->readAll(std::chrono::milliseconds(0));
  }
  const auto played = timed.playedAt();
  mic.receiveLine(R"({"op":"end","session":1})");
  std::vector<double> delays;
  for (std::size_t i = 0; i < std::min(sent.size(), played.size()); ++i)
    delays.push_back(std::chrono::duration<double, std::milli>(played[i] - sent[i]).count());
  const auto lines = out.takeLines();
  if (delays.empty() || lines.size() != 2) {
    // On standard output: the helper's audio layer sends standard error to /dev/null.
    for (std::size_t i = 0; i < std::min<std::size_t>(lines.size(), 3); ++i) std::printf("%s\n", lines[i].c_str());
    std::printf("no audio was played (%zu buffers back)\n", played.size());
    return false;
  }
  const double first = delays.front();
  // Silence written for late audio delays every later chunk: the last 5 s
  // show what a long recording has gathered.
  std::vector<double> last(delays.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(250, delays.size())),
                           delays.end());
  std::sort(last.begin(), last.end());
  std::sort(delays.begin(), delays.end());
  std::printf(
      "%s, %zu chunks of 20 ms: line to played into the sink median %.1f ms (last 5 s %.1f ms), p95 %.1f ms, max "
      "%.1f ms, first chunk %.1f ms\n",
      bursty ? "bursts of 1-12 chunks" : "steady", delays.size(), delays[delays.size() / 2], last[last.size() / 2],
      delays[delays.size() * 95 / 100], delays.back(), first);
  if (!monitor) return true;
  recording += monitor->readAll(std::chrono::milliseconds(500));
  // The left channel without silence, against the pushed samples: a
  // sample heard out of turn means the ones before it were lost.
  std::size_t next = 0, lost = 0, places = 0;
  for (std::size_t f = 0; f + 4 <= recording.size() && next < pushed.size(); f += 4) {
    std::int16_t left = 0;
    std::memcpy(&left, recording.data() + f, 2);
    if (left == 0) continue;
    const std::size_t skipped = static_cast<std::size_t>((left - 1 - static_cast<int>(next % 30000) + 30000) % 30000);
    if (skipped > 0) ++places;
    lost += skipped;
    next += skipped + 1;
  }
  lost += pushed.size() - std::min(next, pushed.size());
  std::printf("bursts of 1-12 chunks: %zu of %zu pushed samples never heard on the monitor (in %zu places)\n", lost,
              pushed.size(), places);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int chunks = argc > 1 ? std::atoi(argv[1]) : 250;
  const int burstyChunks = argc > 2 ? std::atoi(argv[2]) : 3000;
  testing::PulseServer server;
  ::setenv("PULSE_SERVER", server.address().c_str(), 1);
  return run(server, chunks, false) && (burstyChunks == 0 || run(server, burstyChunks, true)) ? 0 : 1;
}
