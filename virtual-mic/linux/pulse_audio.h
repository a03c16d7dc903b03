#pragma once

// The audio output over PulseAudio (or PipeWire's PulseAudio server): the
// devices are the server's sinks in its order, named by their description
// and identified by their sink name, so a null sink described as
// "BlackHole 2ch" is found. A queue is a playback stream pinned to its sink;
// a buffer counts as played once the server's read position has passed its
// end, so a suspended or stalled sink runs the pool dry as on macOS. The
// server's own thread is the audio thread.

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>
#include <vector>

#include "virtual-mic/audio_output.h"

namespace morvik::virtualmic::linux {

// The status of an operation the server refused or did not answer.
inline constexpr OSStatus pulseFailed = 0x70756C73;  // 'puls'
// A stalled server must not hang a request: every wait is bounded.
inline constexpr pa_usec_t answerTime = 2 * PA_USEC_PER_SEC;

// The connection to the server, served by PulseAudio's threaded main loop.
class PulseConnection {
 public:
  PulseConnection();
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects if not connected; false when no server answers in time. With the lock held.
  bool connect();
  // Waits for `done`, the lock held, at most `limit`; false when the limit passed.
  template <typename Done>
  bool waitFor(Done done, pa_usec_t limit);
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

 private:
  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
};

// Holds the main loop's lock for its scope.
class PulseLock {
 public:
  explicit PulseLock(PulseConnection& connection) : loop_(connection.loop()) { pa_threaded_mainloop_lock(loop_); }
  ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

class PulseAudioSystem final : public AudioSystem {
 public:
  PulseAudioSystem();

  OSStatus deviceListSize(std::uint32_t& bytes) override;
  OSStatus deviceList(std::vector<AudioObjectID>& devices) override;
  OSStatus deviceName(AudioObjectID device, std::string& name) override;
  OSStatus deviceUID(AudioObjectID device, std::string& uid) override;
  OSStatus newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                     std::unique_ptr<AudioQueue>& queue) override;

 private:
  struct Sink {
    AudioObjectID index;
    std::string name;
    std::string description;
  };
  const Sink* sink(AudioObjectID device) const;

  std::shared_ptr<PulseConnection> connection_;
  // The sinks as the last size query found them.
  std::vector<Sink> sinks_;
};

template <typename Done>
bool PulseConnection::waitFor(Done done, pa_usec_t limit) {
  bool late = false;
  struct Alarm {
    PulseConnection* connection;
    bool* late;
  } alarm{this, &late};
  pa_time_event* timer = pa_context_rttime_new(
      context_, pa_rtclock_now() + limit,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
        auto* fired = static_cast<Alarm*>(data);
        *fired->late = true;
        fired->connection->signal();
      },
      &alarm);
  while (!done() && !late) pa_threaded_mainloop_wait(loop_);
  pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  return !late || done();
}

}  // namespace morvik::virtualmic::linux
