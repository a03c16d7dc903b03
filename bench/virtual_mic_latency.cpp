// On Linux: the delay from an "audio" line to the moment PulseAudio has
// played its samples into the "BlackHole 2ch" null sink (the server's read
// position past them), through the real helper logic and PulseAudio layer,
// with the chunks pushed every 20 ms as the application does. A recording
// of the sink's monitor hears them that much later plus its own latency.
//   virtual_mic_latency [CHUNKS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "channel/base64.h"
#include "channel/output.h"
#include "testsupport/pulse_server.h"
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

}  // namespace

int main(int argc, char** argv) {
  const int chunks = argc > 1 ? std::atoi(argv[1]) : 200;
  testing::PulseServer server;
  ::setenv("PULSE_SERVER", server.address().c_str(), 1);
  auto real = virtualmic::makeAudioSystem();
  TimedSystem timed(*real);
  channel::RecordingOutput out;
  virtualmic::VirtualMic mic(out, timed, virtualmic::steadyClock());
  mic.receiveLine(R"({"op":"prepare"})");
  mic.receiveLine(R"({"op":"start","session":1})");
  const std::string line =
      R"({"op":"audio","session":1,"pcm":")" + channel::encodeBase64(channel::Bytes(640, 1)) + "\"}";
  std::vector<Clock::time_point> sent;
  const auto start = Clock::now();
  for (int c = 0; c < chunks; ++c) {
    sent.push_back(Clock::now());
    mic.receiveLine(line);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * (c + 1)));
  }
  const auto played = timed.playedAt();
  mic.receiveLine(R"({"op":"end","session":1})");
  std::vector<double> delays;
  for (std::size_t i = 0; i < std::min(sent.size(), played.size()); ++i)
    delays.push_back(std::chrono::duration<double, std::milli>(played[i] - sent[i]).count());
  const auto lines = out.takeLines();
  if (delays.empty() || lines.size() != 2) {
    for (const auto& output : lines) std::fprintf(stderr, "%s\n", output.c_str());
    std::fprintf(stderr, "no audio was played (%zu buffers back)\n", played.size());
    return 1;
  }
  const double first = delays.front();
  std::sort(delays.begin(), delays.end());
  std::printf(
      "line to played into the sink, %zu chunks of 20 ms in real time: median %.1f ms, p95 %.1f ms, "
      "max %.1f ms, first chunk %.1f ms\n",
      delays.size(), delays[delays.size() / 2], delays[delays.size() * 95 / 100], delays.back(), first);
  return 0;
}
