#include "virtual-mic/virtual_mic.h"

#include <cmath>
#include <thread>

#include "channel/base64.h"
#include "channel/reader.h"
#include "virtual-mic/drain.h"
#include "virtual-mic/messages.h"

namespace morvik::virtualmic {
namespace {

constexpr std::string_view deviceName = "BlackHole 2ch";
constexpr std::size_t largestChunk = 640;
constexpr int chunksBeforePlaying = 3;  // 60 ms of audio waiting before playback starts
constexpr auto drainTime = std::chrono::seconds(1);
constexpr auto drainPoll = std::chrono::milliseconds(10);

class SteadyClock final : public WaitClock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void sleepFor(channel::Duration span) override { std::this_thread::sleep_for(span); }
};

}  // namespace

WaitClock& steadyClock() {
  static SteadyClock clock;
  return clock;
}

std::optional<std::pair<std::string, std::string>> findDevice(AudioSystem& system, OSStatus* listStatus) {
  OSStatus unused = noErr;
  OSStatus& status = listStatus != nullptr ? *listStatus : unused;
  std::uint32_t bytes = 0;
  if ((status = system.deviceListSize(bytes)) != noErr) return std::nullopt;
  std::vector<AudioObjectID> devices(bytes / sizeof(AudioObjectID));
  if ((status = system.deviceList(devices)) != noErr || devices.empty()) return std::nullopt;
  for (const AudioObjectID id : devices) {
    std::string name, uid;
    // A failed read counts as the empty string.
    if (system.deviceName(id, name) != noErr) name.clear();
    if (system.deviceUID(id, uid) != noErr) uid.clear();
    if (name == deviceName && !uid.empty()) return std::pair{name, uid};
  }
  return std::nullopt;
}

std::uint32_t sessionOf(const Json& request) {
  const auto found = request.find("session");
  if (found == request.end()) return 0;
  if (found->is_number_unsigned()) return static_cast<std::uint32_t>(found->get<std::uint64_t>());
  if (found->is_number_integer()) return static_cast<std::uint32_t>(found->get<std::int64_t>());
  if (found->is_number_float()) {
    const double value = found->get<double>();
    if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return 0;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
  }
  return 0;
}

VirtualMic::VirtualMic(channel::Output& out, AudioSystem& system, WaitClock& clock)
    : out_(out), system_(system), clock_(clock) {
  // Reserved once: the audio thread's append never allocates.
  available.reserve(poolSize);
}

void VirtualMic::receiveLine(std::string_view line) {
  const auto request = channel::parseRequest(line, channel::virtualMicLineLimit);
  const auto op = request ? channel::readString(*request, "op") : std::nullopt;
  if (!op) return receiveInvalidLine();
  dispatch(*request, *op);
}

void VirtualMic::receiveInvalidLine() {
  close();
  emitEvent(Json{{"event", "error"}, {"message", message::invalidCommand}});
}

void VirtualMic::dispatch(const Json& request, std::string_view op) {
  const std::uint32_t number = sessionOf(request);
  if (op == "prepare") {
    close();
    OSStatus listed = noErr;
    device = findDevice(system_, &listed);
    if (device) return emitEvent(Json{{"event", "ready"}, {"device", device->first}, {"offline", true}});
    // A sound server that does not answer has not lost the driver.
    if (listed == hardwareNotRunning) return fail(message::outputFailed);
    return emitEvent(Json{{"event", "error"}, {"fatal", true}, {"message", message::driverMissing}});
  }
  if (op == "start") {
    if (number != 0) start(number);
    return;
  }
  if (op == "audio") {
    const auto pcm = channel::readString(request, "pcm");
    const auto bytes = pcm ? channel::decodeBase64(*pcm) : std::nullopt;
    if (!bytes) return fail(message::invalidAudioData);
    return audio(*bytes, number);
  }
  if (op == "end") return end(number);
  if (op == "cancel") return close();
  fail(message::unsupportedCommand);
}

void VirtualMic::start(std::uint32_t number) {
  close();
  if (!device) return fail(message::notPrepared);
  if (const OSStatus status = system_.newOutput(StreamFormat{}, &VirtualMic::played, this, queue); status || !queue) {
    queue.reset();
    return fail(message::cannotCreateQueue, status);
  }
  if (const OSStatus status = queue->setCurrentDevice(device->second)) return fail(message::cannotSetDevice, status);
  std::string current;
  if (const OSStatus status = queue->currentDevice(current); status || current != device->second)
    return fail(message::deviceCheckFailed, status);
  for (std::size_t i = 0; i < poolSize; ++i) {
    AudioQueueBuffer* buffer = nullptr;
    if (const OSStatus status = queue->allocateBuffer(bufferBytes, buffer); status || buffer == nullptr)
      return fail(message::cannotAllocate, status);
    std::lock_guard guard(lock);
    available.push_back(buffer);
  }
  session = number;
}

void VirtualMic::audio(const channel::Bytes& bytes, std::uint32_t number) {
  if (number != session || !queue) return fail(message::invalidFrame);
  if (bytes.empty() || bytes.size() > largestChunk || bytes.size() % 2 != 0) return fail(message::invalidFrame);
  AudioQueueBuffer* buffer = nullptr;
  {
    std::lock_guard guard(lock);
    if (!available.empty()) {
      buffer = available.back();
      available.pop_back();
    }
  }
  if (buffer == nullptr) return fail(message::congested);
  // Mono to stereo: left and right carry the same sample, unchanged.
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    std::uint8_t* frame = buffer->audioData + 2 * i;
    frame[0] = frame[2] = bytes[i];
    frame[1] = frame[3] = bytes[i + 1];
  }
  buffer->size = static_cast<std::uint32_t>(2 * bytes.size());
  if (queue->enqueueBuffer(buffer) != noErr) return fail(message::outputFailed);
  ++queued;
  if (started || queued < chunksBeforePlaying) return;
  if (const OSStatus status = queue->start()) return fail(message::cannotStart, status);
  started = true;
}

void VirtualMic::end(std::uint32_t number) {
  if (number != session || !queue) return;
  if (!started && queued > 0) queue->start();
  queue->stop(false);
  const auto deadline = clock_.now() + drainTime;
  bool hasRun = false;
  for (;;) {
    std::uint32_t value = 0;
    std::optional<bool> running;
    if (queue->isRunning(value) == noErr) running = value != 0;
    hasRun = hasRun || running.value_or(false);
    std::size_t outstanding = 0;
    {
      std::lock_guard guard(lock);
      outstanding = poolSize - available.size();
    }
    if (drained(running, hasRun, outstanding)) break;
    clock_.sleepFor(drainPoll);
    if (clock_.now() >= deadline) break;
  }
  close();
  emitEvent(Json{{"event", "final"}, {"session", number}, {"text", ""}});
}

void VirtualMic::close() {
  if (queue) {
    queue->stop(true);
    queue->dispose(true);
    queue.reset();
  }
  {
    std::lock_guard guard(lock);
    available.clear();
  }
  session = 0;
  started = false;
  queued = 0;
}

void VirtualMic::fail(std::string_view message, OSStatus status) {
  close();
  // Whatever step met it, an audio system that does not answer is an output failure.
  if (status == hardwareNotRunning) message = message::outputFailed;
  emitEvent(Json{{"event", "error"}, {"message", message}});
}

void VirtualMic::emitEvent(const Json& event) { channel::emitThenLineFeed(out_, event); }

void VirtualMic::played(void* userData, AudioQueue& /*queue*/, AudioQueueBuffer* buffer) {
  if (userData == nullptr) return;
  auto* mic = static_cast<VirtualMic*>(userData);
  std::lock_guard guard(mic->lock);
  mic->available.push_back(buffer);
}

}  // namespace morvik::virtualmic
