#pragma once

// A simulated speech recogniser for tests, demos and app development: both
// locales available and on-device, turning audio into text deterministically
// (one word of a fixed phrase per 200 ms of audio that is not silence,
// partial results as words arrive, the final result after endAudio).
// Tests set the authorization and its answer, take recognisers away, and
// drive a task by hand: results and errors at any moment, late callbacks of
// a cancelled task, a recogniser that never answers.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/main_loop.h"
#include "speech/recognizer.h"
#include "speech/task_delivery.h"

namespace morvik::speech::sim {

struct RecognizerSpec {
  bool available = true;
  bool onDevice = true;
};

class SimTask;

class SimSpeech final : public SpeechPlatform {
 public:
  explicit SimSpeech(channel::MainLoop& loop);

  AuthorizationStatus authorizationStatus() override { return status; }
  void requestAuthorization(std::function<void(AuthorizationStatus)> answer) override;
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;
  std::shared_ptr<AudioBufferRecognitionRequest> makeAudioBufferRequest() override;

  // The running task, or none; tests drive it.
  SimTask* currentTask() const { return current_; }

  AuthorizationStatus status = AuthorizationStatus::authorized;
  // What the user decides when asked, after `decisionDelay`; none: never.
  std::optional<AuthorizationStatus> decision = AuthorizationStatus::authorized;
  channel::Duration decisionDelay{};
  int authorizationRequests = 0;
  // Locales with a recogniser; one left out has none.
  std::map<std::string, RecognizerSpec> recognizers = {{"zh-CN", {}}, {"en-US", {}}};
  // Off: tasks hear the audio but say nothing unless a test delivers.
  bool transcribes = true;

 private:
  friend class SimTask;
  friend class SimRecognizer;

  channel::MainLoop& loop_;
  std::vector<std::unique_ptr<channel::Timer>> decisions_;
  SimTask* current_ = nullptr;
};

class SimRequest final : public AudioBufferRecognitionRequest {
 public:
  void setShouldReportPartialResults(bool report) override { reportsPartialResults = report; }
  void setTaskHint(TaskHint value) override { hint = value; }
  void setRequiresOnDeviceRecognition(bool onDevice) override { requiresOnDevice = onDevice; }
  void appendAudio(std::vector<float> samples) override;
  void endAudio() override;

  bool reportsPartialResults = false;
  TaskHint hint = TaskHint::unspecified;
  bool requiresOnDevice = false;
  std::vector<float> samples;
  int endAudioCalls = 0;

 private:
  friend class SimTask;
  SimTask* task_ = nullptr;
};

class SimTask final : public RecognitionTask {
 public:
  SimTask(SimSpeech& world, std::string locale, std::shared_ptr<SimRequest> request, ResultHandler handler);
  ~SimTask() override;
  void cancel() override;

  // Delivered through the main loop, as the platform's callbacks are.
  void deliver(std::optional<RecognitionResult> result, RecognitionError error);
  SimRequest& request() { return *request_; }

 private:
  friend class SimRequest;
  void heard(const std::vector<float>& samples);
  void audioEnded();
  std::string words() const;

  SimSpeech& world_;
  std::string locale_;
  std::shared_ptr<SimRequest> request_;
  TaskDelivery delivery_;
  std::size_t spokenSamples_ = 0;
  std::size_t wordCount_ = 0;
};

}  // namespace morvik::speech::sim
