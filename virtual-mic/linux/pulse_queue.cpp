#include "virtual-mic/linux/pulse_queue.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace morvik::virtualmic::linux {
namespace {

constexpr pa_usec_t watchInterval = 10 * PA_USEC_PER_MSEC;
// The server starts playing once three chunks (60 ms) wait, as the queue
// does, and holds its own latency to that; the pool, not the server's
// buffer, bounds what may wait.
constexpr std::uint32_t chunkBytes = PlaybackMargin::chunkBytes;

// A sink with no listener renders up to two seconds ahead in one block, and
// takes a new stream's audio only when that block is over.
constexpr pa_usec_t sleepingSinkLatency = 200 * PA_USEC_PER_MSEC;

void signalConnection(pa_stream*, void* connection) { static_cast<PulseConnection*>(connection)->signal(); }

// One listing of the server: `each` sees every entry, `done` is set at its end.
template <typename Info>
struct Listing {
  PulseConnection* connection;
  std::function<void(const Info&)> each;
  bool done = false;

  static void next(pa_context*, const Info* info, int last, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (last != 0) {
      listing->done = true;
      return listing->connection->signal();
    }
    if (info != nullptr) listing->each(*info);
  }
};

}  // namespace

PulseQueue::PulseQueue(std::shared_ptr<PulseConnection> connection, const StreamFormat& format, OutputCallback callback,
                       void* userData)
    : connection_(std::move(connection)), callback_(callback), userData_(userData) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = static_cast<std::uint32_t>(format.sampleRate);
  spec.channels = static_cast<std::uint8_t>(format.channelsPerFrame);
  if (!pa_sample_spec_valid(&spec)) return;
  stream_ = pa_stream_new(connection_->context(), "Morvik Pro microphone", &spec, nullptr);
  if (stream_ != nullptr) pa_stream_set_state_callback(stream_, &signalConnection, connection_.get());
}

PulseQueue::~PulseQueue() { dispose(true); }

OSStatus PulseQueue::setCurrentDevice(const std::string& uid) {
  PulseLock lock(*connection_);
  if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_UNCONNECTED) return pulseFailed;
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = 3 * chunkBytes;
  attributes.prebuf = static_cast<std::uint32_t>(-1);  // the whole target: three chunks
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(-1);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  listenToMonitor(uid + ".monitor");
  if (pa_stream_connect_playback(stream_, uid.c_str(), &attributes, flags, nullptr, nullptr) < 0) return pulseFailed;
  const auto settled = [this] {
    const auto state = pa_stream_get_state(stream_);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  };
  if (!connection_->waitFor(settled)) return hardwareNotRunning;
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) return pulseFailed;
  wakeSink(uid);
  // PulseAudio rewinds the sink when a stream starts, and a recording of the
  // sink's monitor misses the rewound part: a lead-in of silence takes that
  // loss instead of the first words.
  static const std::uint8_t leadIn[chunkBytes] = {};
  if (pa_stream_write(stream_, leadIn, sizeof leadIn, nullptr, 0, PA_SEEK_RELATIVE) < 0) return pulseFailed;
  written_ = pushedEnd_ = sizeof leadIn;
  return noErr;
}

OSStatus PulseQueue::currentDevice(std::string& uid) {
  PulseLock lock(*connection_);
  const char* name = stream_ != nullptr ? pa_stream_get_device_name(stream_) : nullptr;
  if (name == nullptr) return pulseFailed;
  uid = name;
  return noErr;
}

OSStatus PulseQueue::allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) {
  memory_.push_back(std::make_unique<std::uint8_t[]>(capacity));
  buffers_.push_back(std::make_unique<AudioQueueBuffer>(AudioQueueBuffer{memory_.back().get(), capacity, 0}));
  buffer = buffers_.back().get();
  PulseLock lock(*connection_);
  ring_.resize(buffers_.size());
  return noErr;
}

OSStatus PulseQueue::enqueueBuffer(AudioQueueBuffer* buffer) {
  PulseLock lock(*connection_);
  if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY || ringCount_ == ring_.size())
    return pulseFailed;
  // The server copies the bytes: the buffer is ours again only once played.
  std::int64_t at = written_;
  if (running_ && drain_ == nullptr && readAsked_ != 0 && !connection_->pipeWire()) {
    const auto ms = static_cast<std::int64_t>((pa_rtclock_now() - readAsked_) / PA_USEC_PER_MSEC) + 1;
    const std::int64_t read = read_ + ms * PlaybackMargin::bytesPerMs;
    if (margin_.leadIn(written_, read) > 0) {
      static const std::uint8_t leadIn[chunkBytes] = {};
      if (pa_stream_write(stream_, leadIn, sizeof leadIn, nullptr, 0, PA_SEEK_RELATIVE) < 0) return pulseFailed;
      written_ = pushedEnd_ = written_ + static_cast<std::int64_t>(sizeof leadIn);
    }
    at = margin_.place(written_, pushedEnd_, buffer->size, read);
  }
  if (pa_stream_write(stream_, buffer->audioData, buffer->size, nullptr, at - written_, PA_SEEK_RELATIVE) < 0)
    return pulseFailed;
  written_ = pushedEnd_ = at + buffer->size;
  ring_[(ringStart_ + ringCount_++) % ring_.size()] = {buffer, written_};
  return noErr;
}

OSStatus PulseQueue::start() {
  PulseLock lock(*connection_);
  if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return pulseFailed;
  pa_operation* uncork = pa_stream_cork(stream_, 0, nullptr, nullptr);
  if (uncork == nullptr) return pulseFailed;
  pa_operation_unref(uncork);
  running_ = true;
  if (watch_ == nullptr) watchPlayback();
  return noErr;
}

OSStatus PulseQueue::stop(bool immediate) {
  PulseLock lock(*connection_);
  if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) return pulseFailed;
  if (immediate) {
    running_ = false;
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(flush);
    if (pa_operation* cork = pa_stream_cork(stream_, 1, nullptr, nullptr)) pa_operation_unref(cork);
    ringCount_ = 0;
    return noErr;
  }
  if (!running_ || drain_ != nullptr) return noErr;
  // PipeWire's server reports a stream drained once its audio has entered the
  // graph, and the end of it is lost if the stream goes then: a lead-out of
  // silence, longer than two of the graph's cycles (21.3 ms at its default
  // 1024 frames of 48 kHz), carries the last samples through.
  static const std::uint8_t leadOut[2 * chunkBytes] = {};
  if (pa_stream_write(stream_, leadOut, sizeof leadOut, nullptr, 0, PA_SEEK_RELATIVE) < 0) return pulseFailed;
  written_ += sizeof leadOut;
  // Running until what was written has played.
  drain_ = pa_stream_drain(
      stream_,
      [](pa_stream*, int, void* data) {
        auto* queue = static_cast<PulseQueue*>(data);
        pa_operation_unref(std::exchange(queue->drain_, nullptr));
        queue->running_ = false;
        queue->readPosition();
      },
      this);
  return drain_ != nullptr ? noErr : pulseFailed;
}

OSStatus PulseQueue::isRunning(std::uint32_t& running) {
  PulseLock lock(*connection_);
  if (stream_ == nullptr || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) return pulseFailed;
  running = running_ ? 1 : 0;
  return noErr;
}

OSStatus PulseQueue::dispose(bool /*immediate*/) {
  PulseLock lock(*connection_);
  stopWatching();
  if (drain_ != nullptr) {
    pa_operation_cancel(drain_);
    pa_operation_unref(drain_);
    drain_ = nullptr;
  }
  if (pacer_ != nullptr) {
    pa_stream_set_read_callback(pacer_, nullptr, nullptr);
    pa_stream_disconnect(pacer_);
    pa_stream_unref(pacer_);
    pacer_ = nullptr;
  }
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  // No buffer is handed back from here on.
  ringCount_ = 0;
  running_ = false;
  return noErr;
}

void PulseQueue::wakeSink(const std::string& sink) {
  pa_sink_state_t state = PA_SINK_INVALID_STATE;
  pa_usec_t latency = 0;
  std::uint32_t index = PA_INVALID_INDEX, monitor = PA_INVALID_INDEX;
  Listing<pa_sink_info> found{connection_.get(), [&](const pa_sink_info& info) {
                                state = info.state;
                                latency = info.latency;
                                index = info.index;
                                monitor = info.monitor_source;
                              }};
  if (connection_->await(
          pa_context_get_sink_info_by_name(connection_->context(), sink.c_str(), &Listing<pa_sink_info>::next, &found),
          found.done) != noErr)
    return;
  // A sink the user suspended stays so; only one deep in a long block is restarted.
  if (state == PA_SINK_SUSPENDED || latency < sleepingSinkLatency) return;
  // Suspending interrupts every other client of the sink: one that plays
  // into it or records its monitor keeps it as it is.
  bool shared = false;
  const std::uint32_t ownInput = pa_stream_get_index(stream_);
  const std::uint32_t ownRecording = pacer_ != nullptr ? pa_stream_get_index(pacer_) : PA_INVALID_INDEX;
  Listing<pa_sink_input_info> inputs{connection_.get(), [&](const pa_sink_input_info& info) {
                                       shared |= info.sink == index && info.index != ownInput;
                                     }};
  if (connection_->await(
          pa_context_get_sink_input_info_list(connection_->context(), &Listing<pa_sink_input_info>::next, &inputs),
          inputs.done) != noErr)
    return;
  Listing<pa_source_output_info> recordings{connection_.get(), [&](const pa_source_output_info& info) {
                                              shared |= info.source == monitor && info.index != ownRecording;
                                            }};
  if (connection_->await(pa_context_get_source_output_info_list(connection_->context(),
                                                                &Listing<pa_source_output_info>::next, &recordings),
                         recordings.done) != noErr ||
      shared)
    return;
  for (const int suspend : {1, 0}) {
    struct Answer {
      PulseConnection* connection;
      bool done = false;
    } answer{connection_.get()};
    pa_operation* operation = pa_context_suspend_sink_by_name(
        connection_->context(), sink.c_str(), suspend,
        [](pa_context*, int, void* data) {
          auto* answered = static_cast<Answer*>(data);
          answered->done = true;
          answered->connection->signal();
        },
        &answer);
    if (connection_->await(operation, answer.done) != noErr) return;
  }
}

void PulseQueue::listenToMonitor(const std::string& monitor) {
  pa_sample_spec spec = *pa_stream_get_sample_spec(stream_);
  pacer_ = pa_stream_new(connection_->context(), "Morvik Pro microphone pacer", &spec, nullptr);
  if (pacer_ == nullptr) return;
  pa_stream_set_read_callback(
      pacer_,
      [](pa_stream* stream, std::size_t, void*) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) pa_stream_drop(stream);
      },
      nullptr);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.fragsize = chunkBytes / 2;
  pa_stream_set_state_callback(pacer_, &signalConnection, connection_.get());
  if (pa_stream_connect_record(pacer_, monitor.c_str(), &attributes,
                               static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0)
    return;
  connection_->waitFor([this] { return pa_stream_get_state(pacer_) != PA_STREAM_CREATING; });
}

void PulseQueue::watchPlayback() {
  watch_ = pa_context_rttime_new(
      connection_->context(), pa_rtclock_now() + watchInterval,
      [](pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* data) {
        auto* queue = static_cast<PulseQueue*>(data);
        queue->readPosition();
        pa_context_rttime_restart(queue->connection_->context(), event, pa_rtclock_now() + watchInterval);
      },
      this);
}

void PulseQueue::readPosition() {
  // One timing request at a time: a stalled server gets no pile of them.
  if (timing_ != nullptr || stream_ == nullptr) return;
  timing_ = pa_stream_update_timing_info(
      stream_,
      [](pa_stream* stream, int success, void* data) {
        auto* queue = static_cast<PulseQueue*>(data);
        pa_operation_unref(queue->timing_);
        queue->timing_ = nullptr;
        const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
        queue->noteUpdate();
        if (timing == nullptr || timing->read_index_corrupt != 0) return;
        queue->read_ = timing->read_index;
        queue->readAsked_ = queue->asked_;
        queue->handBack(timing->read_index);
        queue->topUp(timing->read_index);
      },
      this);
  asked_ = pa_rtclock_now();
}

void PulseQueue::handBack(std::int64_t readIndex) {
  while (ringCount_ > 0 && ring_[ringStart_].end <= readIndex) {
    AudioQueueBuffer* buffer = ring_[ringStart_].buffer;
    ringStart_ = (ringStart_ + 1) % ring_.size();
    --ringCount_;
    callback_(userData_, *this, buffer);
  }
}

void PulseQueue::noteUpdate() {
  const pa_usec_t now = pa_rtclock_now();
  if (lastUpdate_ != 0) margin_.waited(static_cast<std::int64_t>(now - lastUpdate_));
  lastUpdate_ = now;
}

void PulseQueue::topUp(std::int64_t readIndex) {
  // Not before it plays, and not while it drains: the end needs no filling.
  if (!running_ || drain_ != nullptr) return;
  static const std::uint8_t silence[PlaybackMargin::lowWater] = {};
  // Written between two chunks.
  for (std::int64_t missing = margin_.missing(written_, readIndex); missing > 0;) {
    const auto bytes = static_cast<std::size_t>(std::min<std::int64_t>(missing, PlaybackMargin::lowWater));
    if (pa_stream_write(stream_, silence, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    written_ += static_cast<std::int64_t>(bytes);
    missing -= static_cast<std::int64_t>(bytes);
  }
}

void PulseQueue::stopWatching() {
  if (watch_ != nullptr) {
    pa_threaded_mainloop_get_api(connection_->loop())->time_free(watch_);
    watch_ = nullptr;
  }
  if (timing_ != nullptr) {
    pa_operation_cancel(timing_);
    pa_operation_unref(timing_);
    timing_ = nullptr;
  }
}

}  // namespace morvik::virtualmic::linux
