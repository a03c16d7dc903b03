// The audio output on macOS: CoreAudio's hardware properties for the device
// list and an AudioToolbox output queue, C++ against the C APIs. The queue's
// callback comes on AudioToolbox's own thread (no callback run loop). The
// requests run on the main thread, which has no run loop and nothing else
// that drains autorelease pools, so each call into the frameworks drains its
// own (Objective-C++ for @autoreleasepool).
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include <memory>
#include <vector>

#include "channel/darwin/cf_string.h"
#include "virtual-mic/audio_output.h"

namespace morvik::virtualmic {
namespace {

using channel::darwin::makeCFString;
using channel::darwin::utf8;
using String = channel::darwin::CFString;

AudioObjectPropertyAddress globalProperty(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

OSStatus stringProperty(AudioObjectID object, AudioObjectPropertySelector selector, std::string& value) {
  @autoreleasepool {
    const AudioObjectPropertyAddress address = globalProperty(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof string;
    const OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &string);
    if (status != noErr) return status;
    if (string == nullptr) return kAudioHardwareUnspecifiedError;
    // The caller releases both strings read here (AudioHardwareBase.h,
    // kAudioObjectPropertyName and kAudioDevicePropertyDeviceUID).
    const String owned(string);
    value = utf8(string);
    return noErr;
  }
}

// One buffer of ours over the platform's: the platform's memory, its size
// set at enqueue, and the platform's buffer pointing back through its user data.
struct DarwinBuffer {
  AudioQueueBuffer ours;
  AudioQueueBufferRef platform;
};

class DarwinQueue final : public AudioQueue {
 public:
  DarwinQueue(OutputCallback callback, void* userData) : callback_(callback), userData_(userData) {}
  ~DarwinQueue() override { dispose(true); }

  OSStatus create(const StreamFormat& format) {
    AudioStreamBasicDescription description{};
    description.mSampleRate = format.sampleRate;
    description.mFormatID = format.formatID;
    description.mFormatFlags = format.formatFlags;
    description.mBytesPerPacket = format.bytesPerPacket;
    description.mFramesPerPacket = format.framesPerPacket;
    description.mBytesPerFrame = format.bytesPerFrame;
    description.mChannelsPerFrame = format.channelsPerFrame;
    description.mBitsPerChannel = format.bitsPerChannel;
    description.mReserved = format.reserved;
    @autoreleasepool {
      return AudioQueueNewOutput(&description, &DarwinQueue::played, this, nullptr, nullptr, 0, &queue_);
    }
  }

  OSStatus setCurrentDevice(const std::string& uid) override {
    @autoreleasepool {
      const String device = makeCFString(uid);
      if (!device) return kAudioQueueErr_InvalidPropertyValue;
      CFStringRef value = device.get();
      return AudioQueueSetProperty(queue_, kAudioQueueProperty_CurrentDevice, &value, sizeof value);
    }
  }

  OSStatus currentDevice(std::string& uid) override {
    @autoreleasepool {
      CFStringRef value = nullptr;
      UInt32 size = sizeof value;
      const OSStatus status = AudioQueueGetProperty(queue_, kAudioQueueProperty_CurrentDevice, &value, &size);
      if (status != noErr) return status;
      if (value == nullptr) return kAudioQueueErr_InvalidPropertyValue;
      // Ours to release: AudioQueueGetProperty hands out Core Foundation values
      // under the Create Rule, despite its name (Apple's AudioQueueGetProperty
      // reference, "Special Considerations").
      const String owned(value);
      uid = utf8(value);
      return noErr;
    }
  }

  OSStatus allocateBuffer(std::uint32_t capacity, AudioQueueBuffer*& buffer) override {
    AudioQueueBufferRef platform = nullptr;
    OSStatus status = noErr;
    @autoreleasepool {
      status = AudioQueueAllocateBuffer(queue_, capacity, &platform);
    }
    if (status != noErr) return status;
    if (platform == nullptr) return kAudioQueueErr_BufferEmpty;
    buffers_.push_back(std::make_unique<DarwinBuffer>(DarwinBuffer{
        {static_cast<std::uint8_t*>(platform->mAudioData), platform->mAudioDataBytesCapacity, 0}, platform}));
    platform->mUserData = buffers_.back().get();
    buffer = &buffers_.back()->ours;
    return noErr;
  }

  OSStatus enqueueBuffer(AudioQueueBuffer* buffer) override {
    auto* darwin = reinterpret_cast<DarwinBuffer*>(buffer);
    darwin->platform->mAudioDataByteSize = buffer->size;
    @autoreleasepool {
      return AudioQueueEnqueueBuffer(queue_, darwin->platform, 0, nullptr);
    }
  }

  OSStatus start() override {
    @autoreleasepool {
      return AudioQueueStart(queue_, nullptr);
    }
  }
  OSStatus stop(bool immediate) override {
    @autoreleasepool {
      return AudioQueueStop(queue_, immediate);
    }
  }

  OSStatus isRunning(std::uint32_t& running) override {
    @autoreleasepool {
      UInt32 value = 0;
      UInt32 size = sizeof value;
      const OSStatus status = AudioQueueGetProperty(queue_, kAudioQueueProperty_IsRunning, &value, &size);
      running = value;
      return status;
    }
  }

  OSStatus dispose(bool immediate) override {
    if (queue_ == nullptr) return noErr;
    OSStatus status = noErr;
    // Disposed at once, no callback comes after it; the buffers go with it.
    @autoreleasepool {
      status = AudioQueueDispose(queue_, immediate);
    }
    queue_ = nullptr;
    return status;
  }

 private:
  static void played(void* self, AudioQueueRef, AudioQueueBufferRef platform) {
    auto* queue = static_cast<DarwinQueue*>(self);
    auto* buffer = static_cast<DarwinBuffer*>(platform->mUserData);
    queue->callback_(queue->userData_, *queue, &buffer->ours);
  }

  OutputCallback callback_;
  void* userData_;
  AudioQueueRef queue_ = nullptr;
  std::vector<std::unique_ptr<DarwinBuffer>> buffers_;
};

class CoreAudioSystem final : public AudioSystem {
 public:
  CoreAudioSystem() {
    @autoreleasepool {
      // The HAL delivers its notifications (devices added, removed, restarted)
      // on the main run loop unless told otherwise, and this helper's main
      // thread runs none: with no run loop the HAL uses a thread of its own
      // (AudioHardwareDeprecated.h, kAudioHardwarePropertyRunLoop), so a later
      // "prepare" sees the devices of now.
      const AudioObjectPropertyAddress address = globalProperty(kAudioHardwarePropertyRunLoop);
      CFRunLoopRef none = nullptr;
      AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof none, &none);
    }
  }

  OSStatus deviceListSize(std::uint32_t& bytes) override {
    @autoreleasepool {
      const AudioObjectPropertyAddress address = globalProperty(kAudioHardwarePropertyDevices);
      UInt32 size = 0;
      const OSStatus status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size);
      bytes = size;
      return status;
    }
  }

  OSStatus deviceList(std::vector<AudioObjectID>& devices) override {
    @autoreleasepool {
      const AudioObjectPropertyAddress address = globalProperty(kAudioHardwarePropertyDevices);
      auto size = static_cast<UInt32>(devices.size() * sizeof(AudioObjectID));
      const OSStatus status =
          AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, devices.data());
      devices.resize(size / sizeof(AudioObjectID));
      return status;
    }
  }

  OSStatus deviceName(AudioObjectID device, std::string& name) override {
    return stringProperty(device, kAudioObjectPropertyName, name);
  }

  OSStatus deviceUID(AudioObjectID device, std::string& uid) override {
    return stringProperty(device, kAudioDevicePropertyDeviceUID, uid);
  }

  OSStatus newOutput(const StreamFormat& format, OutputCallback callback, void* userData,
                     std::unique_ptr<AudioQueue>& queue) override {
    auto made = std::make_unique<DarwinQueue>(callback, userData);
    const OSStatus status = made->create(format);
    if (status != noErr) return status;
    queue = std::move(made);
    return noErr;
  }
};

}  // namespace

std::unique_ptr<AudioSystem> makeAudioSystem() { return std::make_unique<CoreAudioSystem>(); }

}  // namespace morvik::virtualmic
