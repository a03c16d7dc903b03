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

// The status of an operation the server refused; one it did not answer in
// time is hardwareNotRunning.
inline constexpr OSStatus pulseFailed = 0x70756C73;  // 'puls'
// A stalled server must not hang a request: every wait is bounded, and once
// a wait has run out, later ones give the server only a short grace until it
// answers again, so that the waits of one request do not add up.
// A request waits at most once in full, then once more for the grace: 1.9 s,
// which leaves a loaded machine 0.6 s to wake the helper and answer within
// 2.5 s (with 2.3 s it took up to 2.7 s).
inline constexpr pa_usec_t answerTime = 1500 * PA_USEC_PER_MSEC;
inline constexpr pa_usec_t stalledAnswerTime = 400 * PA_USEC_PER_MSEC;

// The connection to the server, served by PulseAudio's threaded main loop.
class PulseConnection {
 public:
  PulseConnection();
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects if not connected: noErr, pulseFailed when there is no server,
  // hardwareNotRunning when it does not answer. With the lock held.
  OSStatus connect();
  // Waits for `done`, the lock held, at most `answerTime` (or the grace of a
  // stalled server); false when the time passed.
  template <typename Done>
  bool waitFor(Done done);
  // Waits for an operation's callback to set `done`, then drops the
  // operation: noErr, or hardwareNotRunning when the server did not answer.
  OSStatus await(pa_operation* operation, const bool& done);
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  // PipeWire's server takes a stream's audio a graph cycle or more ahead of
  // the read index it reports (a cycle is read at once, and the count
  // follows later), so nothing may be written back behind its write index.
  bool pipeWire() const { return pipeWire_; }

 private:
  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
  bool stalled_ = false;
  bool pipeWire_ = false;
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
bool PulseConnection::waitFor(Done done) {
  const pa_usec_t limit = stalled_ ? stalledAnswerTime : answerTime;
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
  stalled_ = !done();
  return !stalled_;
}

}  // namespace morvik::virtualmic::linux
