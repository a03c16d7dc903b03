#pragma once

// The speech recogniser that morvik-speech relies on, with the meaning of
// the Speech framework: authorization states with the same numbers, a
// recogniser made for a locale (or none), an audio-buffer request fed with
// float samples, and a task whose result handler may be called many times
// with an optional result and an optional error. Every callback reaches the
// logic on the main loop, and none of a cancelled task ever does.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvik::speech {

enum class AuthorizationStatus : int { notDetermined = 0, denied = 1, restricted = 2, authorized = 3 };

enum class TaskHint : int { unspecified = 0, dictation = 1, search = 2, confirmation = 3 };

struct RecognitionResult {
  // The best transcription's formatted string.
  std::string formattedString;
  bool isFinal = false;
};

// An error of the platform, as its localized description; none is no error.
using RecognitionError = std::optional<std::string>;
using ResultHandler =
    std::function<void(const std::optional<RecognitionResult>& result, const RecognitionError& error)>;

// Audio is 16 kHz mono, one float sample per frame (-1.0 to 1.0).
class AudioBufferRecognitionRequest {
 public:
  virtual ~AudioBufferRecognitionRequest() = default;
  virtual void setShouldReportPartialResults(bool report) = 0;
  virtual void setTaskHint(TaskHint hint) = 0;
  virtual void setRequiresOnDeviceRecognition(bool onDevice) = 0;
  // One buffer, appended in order.
  virtual void appendAudio(std::vector<float> samples) = 0;
  virtual void endAudio() = 0;
};

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool isAvailable() const = 0;
  virtual bool supportsOnDeviceRecognition() const = 0;
  virtual std::unique_ptr<RecognitionTask> recognitionTask(
      const std::shared_ptr<AudioBufferRecognitionRequest>& request, ResultHandler handler) = 0;
};

class SpeechPlatform {
 public:
  virtual ~SpeechPlatform() = default;
  virtual AuthorizationStatus authorizationStatus() = 0;
  // Asks the user; the answer comes on the main loop.
  virtual void requestAuthorization(std::function<void(AuthorizationStatus)> answer) = 0;
  // None when the platform has no recogniser for the locale identifier.
  virtual std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) = 0;
  virtual std::shared_ptr<AudioBufferRecognitionRequest> makeAudioBufferRequest() = 0;
};

}  // namespace morvik::speech
