#include "speech/sim/sim_speech.h"

#include <cmath>

namespace morvik::speech::sim {
namespace {

constexpr std::size_t samplesPerWord = 3200;  // 200 ms at 16 kHz
constexpr float silence = 0.01f;              // peaks below this are silence

const std::vector<std::string>& phrase(const std::string& locale) {
  static const std::vector<std::string> english = {"please", "open", "the", "settings",  "and",
                                                   "turn",   "on",   "the", "microphone"};
  static const std::vector<std::string> chinese = {"请", "打开", "设置", "然后", "打开", "麦克风"};
  return locale == "en-US" ? english : chinese;
}

class SimRecognizer final : public SpeechRecognizer {
 public:
  SimRecognizer(SimSpeech& world, std::string locale) : world_(world), locale_(std::move(locale)) {}
  bool isAvailable() const override { return spec().available; }
  bool supportsOnDeviceRecognition() const override { return spec().onDevice; }
  std::unique_ptr<RecognitionTask> recognitionTask(const std::shared_ptr<AudioBufferRecognitionRequest>& request,
                                                   ResultHandler handler) override {
    return std::make_unique<SimTask>(world_, locale_, std::dynamic_pointer_cast<SimRequest>(request),
                                     std::move(handler));
  }

 private:
  // Read live, so that a test can take a recogniser's availability away.
  RecognizerSpec spec() const {
    const auto found = world_.recognizers.find(locale_);
    return found == world_.recognizers.end() ? RecognizerSpec{false, false} : found->second;
  }

  SimSpeech& world_;
  std::string locale_;
};

}  // namespace

SimSpeech::SimSpeech(channel::MainLoop& loop) : loop_(loop) {}

void SimSpeech::requestAuthorization(std::function<void(AuthorizationStatus)> answer) {
  ++authorizationRequests;
  if (!decision) return;
  decisions_.push_back(loop_.schedule(decisionDelay, false, [this, answer = std::move(answer), made = *decision] {
    status = made;
    answer(made);
  }));
}

std::shared_ptr<SpeechRecognizer> SimSpeech::makeRecognizer(const std::string& locale) {
  if (recognizers.count(locale) == 0) return nullptr;
  return std::make_shared<SimRecognizer>(*this, locale);
}

std::shared_ptr<AudioBufferRecognitionRequest> SimSpeech::makeAudioBufferRequest() {
  return std::make_shared<SimRequest>();
}

void SimRequest::appendAudio(std::vector<float> chunk) {
  samples.insert(samples.end(), chunk.begin(), chunk.end());
  if (task_) task_->heard(chunk);
}

void SimRequest::endAudio() {
  ++endAudioCalls;
  if (task_) task_->audioEnded();
}

SimTask::SimTask(SimSpeech& world, std::string locale, std::shared_ptr<SimRequest> request, ResultHandler handler)
    : world_(world),
      locale_(std::move(locale)),
      request_(std::move(request)),
      delivery_(world.loop_, std::move(handler)) {
  request_->task_ = this;
  world_.current_ = this;
}

SimTask::~SimTask() {
  request_->task_ = nullptr;
  if (world_.current_ == this) world_.current_ = nullptr;
}

void SimTask::cancel() { delivery_.cancel(); }

void SimTask::deliver(std::optional<RecognitionResult> result, RecognitionError error) {
  delivery_.deliver(std::move(result), std::move(error));
}

void SimTask::heard(const std::vector<float>& samples) {
  float peak = 0;
  for (const float s : samples) peak = std::max(peak, std::fabs(s));
  if (peak < silence) return;
  spokenSamples_ += samples.size();
  const std::size_t words = std::min(spokenSamples_ / samplesPerWord, phrase(locale_).size());
  if (words == wordCount_) return;
  wordCount_ = words;
  if (world_.transcribes && request_->reportsPartialResults) deliver(RecognitionResult{this->words(), false}, {});
}

void SimTask::audioEnded() {
  if (!world_.transcribes) return;
  // Like the platform, a recording without speech ends in an error.
  if (wordCount_ == 0) return deliver(std::nullopt, std::string("No speech detected"));
  deliver(RecognitionResult{words(), true}, {});
}

std::string SimTask::words() const {
  const auto& all = phrase(locale_);
  const std::string separator = locale_ == "en-US" ? " " : "";
  std::string text;
  for (std::size_t i = 0; i < wordCount_; ++i) text += (i > 0 ? separator : "") + all[i];
  return text;
}

}  // namespace morvik::speech::sim
