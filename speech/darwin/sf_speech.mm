// The recogniser of the Speech framework (Objective-C++, ARC). Result
// handlers run on the recogniser's queue, which is the main operation queue
// unless set otherwise (SFSpeechRecognizer.h: "Defaults to the main queue"),
// so they come from the main run loop; the authorization handler comes on
// no particular queue. Each runs in its own autorelease pool and hands its
// work to the main loop.
#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include <cstring>

#include "channel/darwin/ns_string.h"
#include "speech/platform_speech.h"
#include "speech/task_delivery.h"

namespace morvik::speech {
namespace {

using channel::darwin::nsString;
using channel::darwin::utf8;

class DarwinRequest final : public AudioBufferRecognitionRequest {
 public:
  explicit DarwinRequest(AVAudioFormat* format)
      : object([[SFSpeechAudioBufferRecognitionRequest alloc] init]), format_(format) {}

  void setShouldReportPartialResults(bool report) override { object.shouldReportPartialResults = report; }
  void setTaskHint(TaskHint hint) override { object.taskHint = static_cast<SFSpeechRecognitionTaskHint>(hint); }
  void setRequiresOnDeviceRecognition(bool onDevice) override { object.requiresOnDeviceRecognition = onDevice; }
  // "Must currently be in native format" (SFSpeechRecognitionRequest.h:58):
  // Apple's documentation of appendAudioPCMBuffer: asks for uncompressed PCM
  // in a native format, and calls the request's nativeAudioFormat a hint for
  // recording that may change, not a requirement. 16 kHz mono float PCM is
  // such a format, so the samples go in unconverted.
  void appendAudio(std::vector<float> samples) override {
    @autoreleasepool {
      const auto frames = static_cast<AVAudioFrameCount>(samples.size());
      AVAudioPCMBuffer* buffer = [[AVAudioPCMBuffer alloc] initWithPCMFormat:format_ frameCapacity:frames];
      if (buffer == nil || buffer.floatChannelData == nullptr) return;
      buffer.frameLength = buffer.frameCapacity;
      std::memcpy(buffer.floatChannelData[0], samples.data(), samples.size() * sizeof(float));
      [object appendAudioPCMBuffer:buffer];
    }
  }
  void endAudio() override {
    @autoreleasepool {
      [object endAudio];
    }
  }

  SFSpeechAudioBufferRecognitionRequest* const object;

 private:
  AVAudioFormat* format_;
};

class DarwinTask final : public RecognitionTask {
 public:
  DarwinTask(SFSpeechRecognitionTask* task, std::shared_ptr<TaskDelivery> delivery)
      : object_(task), delivery_(std::move(delivery)) {}
  ~DarwinTask() override { cancel(); }
  void cancel() override {
    @autoreleasepool {
      delivery_->cancel();
      [object_ cancel];
    }
  }

 private:
  SFSpeechRecognitionTask* object_;
  std::shared_ptr<TaskDelivery> delivery_;
};

class DarwinRecognizer final : public SpeechRecognizer {
 public:
  DarwinRecognizer(channel::MainLoop& loop, SFSpeechRecognizer* recognizer) : loop_(loop), object_(recognizer) {}
  bool isAvailable() const override { return object_.isAvailable; }
  bool supportsOnDeviceRecognition() const override { return object_.supportsOnDeviceRecognition; }

  std::unique_ptr<RecognitionTask> recognitionTask(const std::shared_ptr<AudioBufferRecognitionRequest>& request,
                                                   ResultHandler handler) override {
    @autoreleasepool {
      auto darwin = std::dynamic_pointer_cast<DarwinRequest>(request);
      if (!darwin) return nullptr;
      auto delivery = std::make_shared<TaskDelivery>(loop_, std::move(handler));
      SFSpeechRecognitionTask* task =
          [object_ recognitionTaskWithRequest:darwin->object
                                resultHandler:^(SFSpeechRecognitionResult* result, NSError* error) {
                                  @autoreleasepool {
                                    std::optional<RecognitionResult> heard;
                                    if (result != nil)
                                      heard = RecognitionResult{utf8(result.bestTranscription.formattedString),
                                                                static_cast<bool>(result.isFinal)};
                                    RecognitionError failure;
                                    if (error != nil) failure = utf8(error.localizedDescription);
                                    delivery->deliver(std::move(heard), std::move(failure));
                                  }
                                }];
      return std::make_unique<DarwinTask>(task, std::move(delivery));
    }
  }

 private:
  channel::MainLoop& loop_;
  SFSpeechRecognizer* object_;
};

class DarwinSpeech final : public SpeechPlatform {
 public:
  explicit DarwinSpeech(channel::MainLoop& loop)
      : loop_(loop),
        format_([[AVAudioFormat alloc] initWithCommonFormat:AVAudioPCMFormatFloat32
                                                 sampleRate:16000
                                                   channels:1
                                                interleaved:NO]) {}

  AuthorizationStatus authorizationStatus() override {
    @autoreleasepool {
      return static_cast<AuthorizationStatus>([SFSpeechRecognizer authorizationStatus]);
    }
  }

  void requestAuthorization(std::function<void(AuthorizationStatus)> answer) override {
    @autoreleasepool {
      channel::MainLoop* loop = &loop_;
      [SFSpeechRecognizer requestAuthorization:^(SFSpeechRecognizerAuthorizationStatus status) {
        @autoreleasepool {
          loop->post([answer, status] { answer(static_cast<AuthorizationStatus>(status)); });
        }
      }];
    }
  }

  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override {
    @autoreleasepool {
      NSLocale* identifier = [NSLocale localeWithLocaleIdentifier:nsString(locale)];
      SFSpeechRecognizer* recognizer = [[SFSpeechRecognizer alloc] initWithLocale:identifier];
      if (recognizer == nil) return nullptr;
      return std::make_shared<DarwinRecognizer>(loop_, recognizer);
    }
  }

  std::shared_ptr<AudioBufferRecognitionRequest> makeAudioBufferRequest() override {
    return std::make_shared<DarwinRequest>(format_);
  }

 private:
  channel::MainLoop& loop_;
  AVAudioFormat* format_;
};

}  // namespace

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(channel::MainLoop& loop) {
  return std::make_unique<DarwinSpeech>(loop);
}

}  // namespace morvik::speech
