#include "virtual-mic/linux/pulse_audio.h"

#include "virtual-mic/linux/pulse_queue.h"

#include <string_view>

namespace morvik::virtualmic::linux {
PulseConnection::PulseConnection() : loop_(pa_threaded_mainloop_new()) { pa_threaded_mainloop_start(loop_); }

PulseConnection::~PulseConnection() {
  pa_threaded_mainloop_stop(loop_);
  if (context_ != nullptr) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_free(loop_);
}

OSStatus PulseConnection::connect() {
  if (context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY) return noErr;
  if (context_ != nullptr) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "morvik-virtual-mic");
  pa_context_set_state_callback(
      context_, [](pa_context*, void* connection) { static_cast<PulseConnection*>(connection)->signal(); }, this);
  // No server is started for us: without one there is no device.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return pulseFailed;
  const auto settled = [this] {
    const auto state = pa_context_get_state(context_);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  };
  if (!waitFor(settled)) return hardwareNotRunning;
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) return pulseFailed;
  struct Info {
    PulseConnection* connection;
    bool pipeWire = false;
    bool done = false;
  } info{this};
  pa_operation* operation = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* server, void* data) {
        auto* found = static_cast<Info*>(data);
        found->pipeWire = server != nullptr && server->server_name != nullptr &&
                          std::string_view(server->server_name).find("PipeWire") != std::string_view::npos;
        found->done = true;
        found->connection->signal();
      },
      &info);
  if (const OSStatus status = await(operation, info.done)) return status;
  pipeWire_ = info.pipeWire;
  return noErr;
}

OSStatus PulseConnection::await(pa_operation* operation, const bool& done) {
  if (operation == nullptr) return pulseFailed;
  const bool answered = waitFor([&] { return done; });
  // A late answer must not reach the caller's finished frame.
  pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return answered ? noErr : hardwareNotRunning;
}

PulseAudioSystem::PulseAudioSystem() : connection_(std::make_shared<PulseConnection>()) {}

OSStatus PulseAudioSystem::deviceListSize(std::uint32_t& bytes) {
  PulseLock lock(*connection_);
  if (const OSStatus status = connection_->connect()) return status;
  struct Listing {
    PulseConnection* connection;
    std::vector<Sink> sinks;
    bool done = false;
  } listing{connection_.get(), {}};
  pa_operation* operation = pa_context_get_sink_info_list(
      connection_->context(),
      [](pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* found = static_cast<Listing*>(data);
        if (last != 0) {
          found->done = true;
          return found->connection->signal();
        }
        found->sinks.push_back({info->index, info->name ? info->name : "", info->description ? info->description : ""});
      },
      &listing);
  if (const OSStatus status = connection_->await(operation, listing.done)) return status;
  sinks_ = std::move(listing.sinks);
  bytes = static_cast<std::uint32_t>(sinks_.size() * sizeof(AudioObjectID));
  return noErr;
}

OSStatus PulseAudioSystem::deviceList(std::vector<AudioObjectID>& devices) {
  if (devices.size() > sinks_.size()) return pulseFailed;
  for (std::size_t i = 0; i < devices.size(); ++i) devices[i] = sinks_[i].index;
  return noErr;
}

const PulseAudioSystem::Sink* PulseAudioSystem::sink(AudioObjectID device) const {
  for (const auto& sink : sinks_)
    if (sink.index == device) return &sink;
  return nullptr;
}

OSStatus PulseAudioSystem::deviceName(AudioObjectID device, std::string& name) {
  const Sink* found = sink(device);
  if (found == nullptr) return pulseFailed;
  name = found->description;
  return noErr;
}

OSStatus PulseAudioSystem::deviceUID(AudioObjectID device, std::string& uid) {
  const Sink* found = sink(device);
  if (found == nullptr) return pulseFailed;
  uid = found->name;
  return noErr;
}

OSStatus PulseAudioSystem::newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                                     std::unique_ptr<AudioQueue>& queue) {
  // The server plays exactly the stream format: interleaved signed 16-bit frames.
  if (format.formatID != StreamFormat{}.formatID || format.bitsPerChannel != 16 || format.bytesPerFrame == 0)
    return pulseFailed;
  PulseLock lock(*connection_);
  if (const OSStatus status = connection_->connect()) return status;
  auto made = std::make_unique<PulseQueue>(connection_, format, callback, userData);
  if (!made->valid()) return pulseFailed;
  queue = std::move(made);
  return noErr;
}

}  // namespace morvik::virtualmic::linux
