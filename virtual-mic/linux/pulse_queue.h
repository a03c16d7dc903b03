#pragma once

#include <memory>
#include <string>
#include <vector>

#include "virtual-mic/linux/playback_margin.h"
#include "virtual-mic/linux/pulse_audio.h"

namespace morvik::virtualmic::linux {

// An output queue as a PulseAudio playback stream. Buffers are written to
// the stream as they are enqueued; each is handed back once the server has
// read past its end, which the queue learns from timing updates every 10 ms
// while it runs. When the pushed audio runs late, those updates top the
// stream up with silence between chunks, so that it never runs dry, as an
// audio queue plays silence and goes on; on PulseAudio, whose read index is
// where the server has read, the chunk that comes next is written over what
// of that silence is no longer needed (PlaybackMargin). Everything in flight
// fits a ring as long as the pool.
class PulseQueue final : public AudioQueue {
 public:
  PulseQueue(std::shared_ptr<PulseConnection> connection, const StreamFormat& format, OutputCallback callback,
             void* userData);
  ~PulseQueue() override;

  bool valid() const { return stream_ != nullptr; }

  OSStatus setCurrentDevice(const std::string& uid) override;
  OSStatus currentDevice(std::string& uid) override;
  OSStatus allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) override;
  OSStatus enqueueBuffer(AudioQueueBuffer* buffer) override;
  OSStatus start() override;
  OSStatus stop(bool immediate) override;
  OSStatus isRunning(std::uint32_t& running) override;
  OSStatus dispose(bool immediate) override;

 private:
  struct InFlight {
    AudioQueueBuffer* buffer;
    std::int64_t end;  // write index just past the buffer
  };

  // With the lock held. An idle null sink renders seconds ahead and takes no
  // new audio until that block is over: a sink found so, and used by no
  // other client, is suspended and resumed, which starts it anew in short
  // blocks; a listener on its monitor keeps it in short blocks while the
  // queue lives, as an application recording the microphone does.
  void wakeSink(const std::string& sink);
  void listenToMonitor(const std::string& monitor);
  // On the server's thread, with the lock held.
  void watchPlayback();
  void readPosition();
  void handBack(std::int64_t readIndex);
  void noteUpdate();
  void topUp(std::int64_t readIndex);
  void stopWatching();

  std::shared_ptr<PulseConnection> connection_;
  OutputCallback callback_;
  void* userData_;
  pa_stream* stream_ = nullptr;
  // Records the sink's monitor and drops what it hears (see wakeSink).
  pa_stream* pacer_ = nullptr;
  std::vector<std::unique_ptr<std::uint8_t[]>> memory_;
  std::vector<std::unique_ptr<AudioQueueBuffer>> buffers_;
  // Buffers written and not yet played, oldest first, in a ring sized once
  // the buffers are allocated: nothing grows while audio flows.
  std::vector<InFlight> ring_;
  std::size_t ringStart_ = 0;
  std::size_t ringCount_ = 0;
  std::int64_t written_ = 0;
  // Where the last chunk (or the lead-in) ended: what follows is silence.
  std::int64_t pushedEnd_ = 0;
  PlaybackMargin margin_;
  // When the last timing update came; the read index it brought, and when it was asked for.
  pa_usec_t lastUpdate_ = 0;
  std::int64_t read_ = 0;
  pa_usec_t readAsked_ = 0;
  pa_usec_t asked_ = 0;
  bool running_ = false;
  pa_operation* drain_ = nullptr;
  pa_operation* timing_ = nullptr;
  pa_time_event* watch_ = nullptr;
};

}  // namespace morvik::virtualmic::linux
