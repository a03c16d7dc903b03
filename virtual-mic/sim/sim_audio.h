#pragma once

// A simulated audio system for tests, demos and app development: a device
// list around "BlackHole 2ch" (present or not, reads that fail) and output
// queues whose device consumes buffers in real time on a thread of its own,
// or stalls, or is played by hand; any operation fails on demand, and the
// device records what it played so that tests compare it with what was pushed.
// Played by hand on a test's clock, a queue behaves as the real ones do: it
// waits for three chunks before it plays (unless told to drain), hands
// buffers back in batches as its read position passes them, plays silence
// when it runs dry and goes on, and may vanish mid-stream.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "virtual-mic/audio_output.h"

namespace morvik::virtualmic::sim {

struct SimDevice {
  std::string name;
  std::string uid;
  bool nameReadFails = false;
  bool uidReadFails = false;
};

enum class Playback {
  realTime,  // a thread plays each buffer for as long as it sounds (divided by `speed`)
  stalled,   // nothing is played: the device is suspended
  byHand,    // the test plays buffers with SimQueue::play
};

class SimQueue;

class SimAudioSystem final : public AudioSystem {
 public:
  SimAudioSystem();

  OSStatus deviceListSize(std::uint32_t& bytes) override;
  OSStatus deviceList(std::vector<AudioObjectID>& ids) override;
  OSStatus deviceName(AudioObjectID device, std::string& name) override;
  OSStatus deviceUID(AudioObjectID device, std::string& uid) override;
  OSStatus newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                     std::unique_ptr<AudioQueue>& queue) override;

  // The queue of the current recording, or none.
  SimQueue* queue() const;
  // What the device played, in order, over all recordings (when it records).
  std::vector<std::uint8_t> played() const;
  OSStatus failure(const std::string& operation) const;

  std::vector<SimDevice> devices;
  // Operations that fail ("deviceListSize", "deviceList", "newOutput",
  // "setCurrentDevice", "currentDevice", "allocateBuffer", "enqueueBuffer",
  // "start", "stop", "isRunning"), with the status they return.
  std::map<std::string, OSStatus> failures;
  // The device the queue reports after it was set, if not the one set.
  std::optional<std::string> readsBackDevice;
  // Buffers that can be allocated before the next allocation fails.
  std::optional<int> allocationsBeforeFailure;
  Playback playback = Playback::realTime;
  double speed = 1.0;
  // Whether the device keeps what it plays (tests); off, nothing grows.
  bool records = false;
  StreamFormat lastFormat;

 private:
  friend class SimQueue;
  mutable std::mutex mutex_;
  SimQueue* current_ = nullptr;
  std::vector<std::uint8_t> played_;
};

class SimQueue final : public AudioQueue {
 public:
  SimQueue(SimAudioSystem& system, OutputCallback callback, void* userData);
  ~SimQueue() override;

  OSStatus setCurrentDevice(const std::string& uid) override;
  OSStatus currentDevice(std::string& uid) override;
  OSStatus allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) override;
  OSStatus enqueueBuffer(AudioQueueBuffer* buffer) override;
  OSStatus start() override;
  OSStatus stop(bool immediate) override;
  OSStatus isRunning(std::uint32_t& running) override;
  OSStatus dispose(bool immediate) override;

  // By hand: plays up to `count` enqueued buffers on the calling thread.
  void play(std::size_t count = SIZE_MAX);
  // By hand: plays `span` of audio at the device's rate, then hands back in
  // one batch every buffer the read position has passed.
  void advance(std::chrono::nanoseconds span);
  // The stream dies on its own (device or server gone): every later
  // operation fails and no buffer comes back.
  void vanish();
  std::size_t enqueued() const;
  bool started() const;

 private:
  void playInRealTime();
  // Takes the next buffer to play, or none; with the mutex held.
  AudioQueueBuffer* next();
  void playedBuffer(AudioQueueBuffer* buffer);
  bool gone() const;

  SimAudioSystem& system_;
  OutputCallback callback_;
  void* userData_;
  std::string deviceUID_;
  std::vector<std::unique_ptr<std::uint8_t[]>> memory_;
  std::vector<std::unique_ptr<AudioQueueBuffer>> buffers_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<AudioQueueBuffer*> enqueued_;
  std::uint32_t readInFront_ = 0;  // bytes of the front buffer already played by advance
  bool prebuffering_ = true;
  bool vanished_ = false;
  bool running_ = false;
  bool draining_ = false;
  bool disposed_ = false;
  std::thread player_;
};

}  // namespace morvik::virtualmic::sim
