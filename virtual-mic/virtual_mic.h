#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channel/json.h"
#include "channel/main_loop.h"
#include "channel/output.h"
#include "virtual-mic/audio_output.h"

namespace morvik::virtualmic {

using channel::Json;

// The clock of the one wait of the helper, the drain at "end": the helper
// has no run loop, it sleeps.
class WaitClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~WaitClock() = default;
  virtual TimePoint now() = 0;
  virtual void sleepFor(channel::Duration span) = 0;
};
WaitClock& steadyClock();

// Plays the audio pushed by the application into the "BlackHole 2ch"
// device: one recording at a time, a fixed pool of 48 buffers recycled by
// the platform's audio thread, and a recording stopped with an error rather
// than a growing backlog. Lives for the whole process; requests come on the
// main thread, played buffers on the audio thread.
class VirtualMic {
 public:
  static constexpr std::size_t poolSize = 48;
  static constexpr std::uint32_t bufferBytes = 1280;  // 320 stereo frames: one whole chunk

  VirtualMic(channel::Output& out, AudioSystem& system, WaitClock& clock);
  VirtualMic(const VirtualMic&) = delete;
  VirtualMic& operator=(const VirtualMic&) = delete;

  // One input line, and a line that is no request (4096 bytes or longer,
  // not a JSON object, no string "op").
  void receiveLine(std::string_view line);
  void receiveInvalidLine();
  void close();

  // The queue's output callback: a played buffer goes back to the pool.
  static void played(void* userData, AudioQueue& queue, AudioQueueBuffer* buffer);

 private:
  void dispatch(const Json& request, std::string_view op);
  void start(std::uint32_t number);
  void audio(const channel::Bytes& bytes, std::uint32_t number);
  void end(std::uint32_t number);
  // The message, or the output failure when the platform's status says the
  // audio system does not answer.
  void fail(std::string_view message, OSStatus status = noErr);
  void emitEvent(const Json& event);

  channel::Output& out_;
  AudioSystem& system_;
  WaitClock& clock_;

  std::optional<std::pair<std::string, std::string>> device;  // name, unique identifier
  std::unique_ptr<AudioQueue> queue;
  std::vector<AudioQueueBuffer*> available;
  std::mutex lock;  // guards `available`, shared with the audio thread
  std::uint32_t session = 0;
  bool started = false;
  int queued = 0;
};

// The device named "BlackHole 2ch" that has a unique identifier: its name
// and identifier, or none; `listStatus` gets the status of reading the
// device list.
std::optional<std::pair<std::string, std::string>> findDevice(AudioSystem& system, OSStatus* listStatus = nullptr);

// The request's "session" as the platform's unsignedIntValue gives it: an
// integer wraps to its low 32 bits, a fraction is cut towards zero first;
// anything that is not a number is 0.
std::uint32_t sessionOf(const Json& request);

}  // namespace morvik::virtualmic
