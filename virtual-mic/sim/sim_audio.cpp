#include "virtual-mic/sim/sim_audio.h"

#include <algorithm>
#include <chrono>

namespace morvik::virtualmic::sim {
namespace {

constexpr OSStatus unknownDevice = 560947818;  // '!dev'
constexpr double bytesPerSecond = 16000 * 4;
// As the output starts: once three whole chunks wait.
constexpr std::size_t prebufferBytes = 3 * 1280;

}  // namespace

SimAudioSystem::SimAudioSystem()
    : devices{{"MacBook Pro Speakers", "BuiltInSpeakerDevice"}, {"BlackHole 2ch", "BlackHole2ch_UID"}} {}

OSStatus SimAudioSystem::failure(const std::string& operation) const {
  const auto found = failures.find(operation);
  return found == failures.end() ? noErr : found->second;
}

OSStatus SimAudioSystem::deviceListSize(std::uint32_t& bytes) {
  bytes = static_cast<std::uint32_t>(devices.size() * sizeof(AudioObjectID));
  return failure("deviceListSize");
}

OSStatus SimAudioSystem::deviceList(std::vector<AudioObjectID>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<AudioObjectID>(100 + i);
  return failure("deviceList");
}

OSStatus SimAudioSystem::deviceName(AudioObjectID device, std::string& name) {
  const std::size_t index = device - 100;
  if (index >= devices.size() || devices[index].nameReadFails) return unknownDevice;
  name = devices[index].name;
  return noErr;
}

OSStatus SimAudioSystem::deviceUID(AudioObjectID device, std::string& uid) {
  const std::size_t index = device - 100;
  if (index >= devices.size() || devices[index].uidReadFails) return unknownDevice;
  uid = devices[index].uid;
  return noErr;
}

OSStatus SimAudioSystem::newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                                   std::unique_ptr<AudioQueue>& queue) {
  lastFormat = format;
  if (const OSStatus status = failure("newOutput")) return status;
  queue = std::make_unique<SimQueue>(*this, callback, userData);
  return noErr;
}

SimQueue* SimAudioSystem::queue() const {
  std::lock_guard lock(mutex_);
  return current_;
}

SimQueue::SimQueue(SimAudioSystem& system, OutputCallback callback, void* userData)
    : system_(system), callback_(callback), userData_(userData) {
  std::lock_guard lock(system_.mutex_);
  system_.current_ = this;
}

SimQueue::~SimQueue() {
  dispose(true);
  std::lock_guard lock(system_.mutex_);
  if (system_.current_ == this) system_.current_ = nullptr;
}

OSStatus SimQueue::setCurrentDevice(const std::string& uid) {
  if (const OSStatus status = system_.failure("setCurrentDevice")) return status;
  deviceUID_ = uid;
  return noErr;
}

OSStatus SimQueue::currentDevice(std::string& uid) {
  if (const OSStatus status = system_.failure("currentDevice")) return status;
  uid = system_.readsBackDevice.value_or(deviceUID_);
  return noErr;
}

OSStatus SimQueue::allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) {
  if (const OSStatus status = system_.failure("allocateBuffer")) return status;
  if (system_.allocationsBeforeFailure && (*system_.allocationsBeforeFailure)-- <= 0) return -108;  // memFullErr
  memory_.push_back(std::make_unique<std::uint8_t[]>(capacity));
  buffers_.push_back(std::make_unique<AudioQueueBuffer>(AudioQueueBuffer{memory_.back().get(), capacity, 0}));
  buffer = buffers_.back().get();
  return noErr;
}

OSStatus SimQueue::enqueueBuffer(AudioQueueBuffer* buffer) {
  if (const OSStatus status = system_.failure("enqueueBuffer")) return status;
  if (gone()) return unknownDevice;
  std::lock_guard lock(mutex_);
  enqueued_.push_back(buffer);
  changed_.notify_all();
  return noErr;
}

OSStatus SimQueue::start() {
  if (const OSStatus status = system_.failure("start")) return status;
  if (gone()) return unknownDevice;
  std::lock_guard lock(mutex_);
  running_ = true;
  if (system_.playback == Playback::realTime && !player_.joinable())
    player_ = std::thread([this] { playInRealTime(); });
  changed_.notify_all();
  return noErr;
}

OSStatus SimQueue::stop(bool immediate) {
  if (const OSStatus status = system_.failure("stop")) return status;
  if (gone()) return unknownDevice;
  std::lock_guard lock(mutex_);
  if (immediate || enqueued_.empty()) {
    running_ = false;
    enqueued_.clear();
    readInFront_ = 0;
  } else {
    draining_ = true;
  }
  changed_.notify_all();
  return noErr;
}

OSStatus SimQueue::isRunning(std::uint32_t& running) {
  if (const OSStatus status = system_.failure("isRunning")) return status;
  if (gone()) return unknownDevice;
  std::lock_guard lock(mutex_);
  running = running_ ? 1 : 0;
  return noErr;
}

OSStatus SimQueue::dispose(bool /*immediate*/) {
  {
    std::lock_guard lock(mutex_);
    disposed_ = true;
    running_ = false;
    enqueued_.clear();
    changed_.notify_all();
  }
  // Once disposed, no buffer is handed back.
  if (player_.joinable()) player_.join();
  return noErr;
}

bool SimQueue::gone() const {
  std::lock_guard lock(mutex_);
  return vanished_;
}

void SimQueue::vanish() {
  std::lock_guard lock(mutex_);
  vanished_ = true;
  running_ = false;
  enqueued_.clear();
}

void SimQueue::advance(std::chrono::nanoseconds span) {
  std::vector<AudioQueueBuffer*> passed;
  {
    std::lock_guard lock(mutex_);
    auto bytes = static_cast<std::int64_t>(std::chrono::duration<double>(span).count() * bytesPerSecond) / 4 * 4;
    std::size_t waiting = 0;
    for (const auto* buffer : enqueued_) waiting += buffer->size;
    if (waiting >= prebufferBytes || draining_) prebuffering_ = false;
    while (running_ && !disposed_ && !prebuffering_ && bytes > 0) {
      if (enqueued_.empty()) {
        // Dry: silence for the rest of the span, then on with the next buffer.
        if (system_.records) {
          std::lock_guard recording(system_.mutex_);
          system_.played_.insert(system_.played_.end(), static_cast<std::size_t>(bytes), 0);
        }
        break;
      }
      const auto taken = std::min<std::int64_t>(bytes, enqueued_.front()->size - readInFront_);
      readInFront_ += static_cast<std::uint32_t>(taken);
      bytes -= taken;
      if (readInFront_ < enqueued_.front()->size) break;
      readInFront_ = 0;
      passed.push_back(next());
    }
  }
  for (auto* buffer : passed) playedBuffer(buffer);
}

void SimQueue::play(std::size_t count) {
  for (; count > 0; --count) {
    AudioQueueBuffer* buffer = nullptr;
    {
      std::lock_guard lock(mutex_);
      buffer = next();
    }
    if (buffer == nullptr) return;
    playedBuffer(buffer);
  }
}

AudioQueueBuffer* SimQueue::next() {
  if (!running_ || disposed_ || enqueued_.empty()) return nullptr;
  AudioQueueBuffer* buffer = enqueued_.front();
  enqueued_.pop_front();
  if (system_.records) {
    std::lock_guard recording(system_.mutex_);
    system_.played_.insert(system_.played_.end(), buffer->audioData, buffer->audioData + buffer->size);
  }
  // A stop that lets queued audio play out ends with the last buffer.
  if (draining_ && enqueued_.empty()) running_ = draining_ = false;
  return buffer;
}

void SimQueue::playedBuffer(AudioQueueBuffer* buffer) { callback_(userData_, *this, buffer); }

void SimQueue::playInRealTime() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return disposed_ || (running_ && !enqueued_.empty()); });
    if (disposed_) return;
    const auto duration = std::chrono::duration<double>(enqueued_.front()->size / bytesPerSecond / system_.speed);
    // The buffer sounds for its duration, then comes back.
    if (changed_.wait_for(lock, duration, [&] { return disposed_; })) return;
    AudioQueueBuffer* buffer = next();
    if (buffer == nullptr) continue;
    lock.unlock();
    playedBuffer(buffer);
    lock.lock();
  }
}

std::size_t SimQueue::enqueued() const {
  std::lock_guard lock(mutex_);
  return enqueued_.size();
}

bool SimQueue::started() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::vector<std::uint8_t> SimAudioSystem::played() const {
  std::lock_guard lock(mutex_);
  return played_;
}

}  // namespace morvik::virtualmic::sim
