#pragma once

// A simulated speech recogniser for tests, demos and app development: both
// locales available and on-device, turning audio into text deterministically
// (one word of a fixed phrase, repeated, per 200 ms of audio that is not
// silence; a partial result whenever the text changes; the final result
// after endAudio). It decodes as an offline recogniser does, on the main
// loop's clock: one decoder shared by the tasks in turn, a dictation split
// into utterances at its pauses (half a second of silence), and an end pass
// per utterance that takes longer the longer the utterance was. Until that
// pass the running utterance shows first guesses that the final text mends.
// Audio that arrives while the decoder is busy waits, up to a limit past
// which the task fails; a cancelled task still ends its utterance, so the
// next one waits for that too. Tests set the authorization and its answer,
// take recognisers away or break the model, and drive a task by hand:
// results and errors at any moment, late callbacks of a cancelled task, a
// recogniser that never answers.

#include <chrono>
#include <deque>
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
  // Off: the model does not load, so no locale gets a recogniser.
  bool modelLoads = true;
  // Off: tasks hear the audio but say nothing unless a test delivers.
  bool transcribes = true;
  // What ending an utterance costs per second of its speech.
  channel::Duration endPassPerSecond = std::chrono::milliseconds(40);
  // Audio waiting for the busy decoder, at most (two minutes).
  std::size_t mostPendingSamples = 16000 * 120;

 private:
  friend class SimTask;
  friend class SimRecognizer;

  channel::MainLoop& loop_;
  std::vector<std::unique_ptr<channel::Timer>> decisions_;
  SimTask* current_ = nullptr;
  // The shared decoder is busy with an end pass until then.
  channel::TimePoint decoderFreeAt_{};
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
  // A copy outlives the task, as a callback already on its way does.
  const TaskDelivery& delivery() const { return delivery_; }

 private:
  friend class SimRequest;
  void heard(std::vector<float> samples);
  void audioEnded();
  // Decodes what waits while the decoder is free, then waits for it again.
  void pump();
  void decode(const std::vector<float>& samples);
  // The decoder is busy with the end pass of the running utterance.
  void endUtterance();
  void fail(std::string description);
  void stopResuming();
  std::string text() const;

  SimSpeech& world_;
  std::string locale_;
  std::shared_ptr<SimRequest> request_;
  TaskDelivery delivery_;
  std::deque<std::vector<float>> pending_;
  std::size_t pendingSamples_ = 0;
  bool ended_ = false;
  bool done_ = false;  // final, failed or cancelled
  std::size_t words_ = 0;
  std::size_t towardsWord_ = 0;      // speech samples since the last word
  std::size_t utteranceStart_ = 0;   // first word of the running utterance
  std::size_t utteranceSpeech_ = 0;  // its speech samples
  std::size_t silence_ = 0;          // samples since the last speech
  std::string sent_;                 // text of the last partial
  std::unique_ptr<channel::Timer> resume_;
};

}  // namespace morvik::speech::sim
