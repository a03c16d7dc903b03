#pragma once

// The audio output that morvik-virtual-mic relies on, with the meaning of
// CoreAudio's hardware properties and AudioToolbox's output queues: the
// device list with each device's name and unique identifier, and an output
// queue that plays fixed buffers in order and hands each played buffer back
// through a callback on the platform's audio thread. Failures are status
// codes, 0 being success.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace morvik::virtualmic {

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
// The audio system does not answer (CoreAudio's kAudioHardwareNotRunningError,
// 'stop'): a stalled or restarting sound server, not a missing device.
inline constexpr OSStatus hardwareNotRunning = 0x73746F70;
using AudioObjectID = std::uint32_t;

// Linear PCM as the queue plays it.
struct StreamFormat {
  double sampleRate = 16000;
  std::uint32_t formatID = 0x6C70636D;  // 'lpcm'
  std::uint32_t formatFlags = 12;       // signed integer, packed
  std::uint32_t bytesPerPacket = 4;
  std::uint32_t framesPerPacket = 1;
  std::uint32_t bytesPerFrame = 4;
  std::uint32_t channelsPerFrame = 2;
  std::uint32_t bitsPerChannel = 16;
  std::uint32_t reserved = 0;
};

// A buffer of the queue: memory of a fixed capacity and the bytes in use.
struct AudioQueueBuffer {
  std::uint8_t* audioData = nullptr;
  std::uint32_t capacity = 0;
  std::uint32_t size = 0;
};

class AudioQueue;
// Called on the platform's audio thread with the queue's user data and a
// buffer that has been played. Never called once dispose has returned.
using OutputCallback = void (*)(void* userData, AudioQueue& queue, AudioQueueBuffer* buffer);

class AudioQueue {
 public:
  virtual ~AudioQueue() = default;
  // The output device, by its unique identifier; read back as the queue has it.
  virtual OSStatus setCurrentDevice(const std::string& uid) = 0;
  virtual OSStatus currentDevice(std::string& uid) = 0;
  // The buffer belongs to the queue and goes with it.
  virtual OSStatus allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) = 0;
  virtual OSStatus enqueueBuffer(AudioQueueBuffer* buffer) = 0;
  // As soon as possible.
  virtual OSStatus start() = 0;
  // Immediately, or after what is enqueued has played.
  virtual OSStatus stop(bool immediate) = 0;
  virtual OSStatus isRunning(std::uint32_t& running) = 0;
  virtual OSStatus dispose(bool immediate) = 0;
};

class AudioSystem {
 public:
  virtual ~AudioSystem() = default;
  // The size in bytes of the device list (4 bytes a device), then the list.
  virtual OSStatus deviceListSize(std::uint32_t& bytes) = 0;
  virtual OSStatus deviceList(std::vector<AudioObjectID>& devices) = 0;
  virtual OSStatus deviceName(AudioObjectID device, std::string& name) = 0;
  virtual OSStatus deviceUID(AudioObjectID device, std::string& uid) = 0;
  virtual OSStatus newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                             std::unique_ptr<AudioQueue>& queue) = 0;
};

// The audio of the platform morvik-virtual-mic is built for: CoreAudio on
// macOS, PulseAudio on Linux, or the simulated devices. It lives as long as
// the process.
std::unique_ptr<AudioSystem> makeAudioSystem();

}  // namespace morvik::virtualmic
