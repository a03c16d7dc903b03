#include "speech/sim/sim_speech.h"

#include <algorithm>
#include <cmath>

namespace morvik::speech::sim {
namespace {

constexpr std::size_t samplesPerWord = 3200;  // 200 ms at 16 kHz
constexpr std::size_t pauseSamples = 8000;    // 500 ms of silence end an utterance
constexpr float silence = 0.01f;              // peaks below this are silence

struct Word {
  std::string text;
  std::string firstGuess;  // shown until the utterance's end pass mends it
};

const std::vector<Word>& phrase(const std::string& locale) {
  static const std::vector<Word> english = {
      {"please", "please"}, {"open", "open"}, {"the", "the"}, {"settings", "setting"},      {"and", "in"},
      {"turn", "turn"},     {"on", "on"},     {"the", "the"}, {"microphone", "micro phone"}};
  static const std::vector<Word> chinese = {{"请", "请"},     {"打开", "打开"}, {"设置", "社制"},
                                            {"然后", "然后"}, {"打开", "打开"}, {"麦克风", "麦克"}};
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
  if (!modelLoads || recognizers.count(locale) == 0) return nullptr;
  return std::make_shared<SimRecognizer>(*this, locale);
}

std::shared_ptr<AudioBufferRecognitionRequest> SimSpeech::makeAudioBufferRequest() {
  return std::make_shared<SimRequest>();
}

void SimRequest::appendAudio(std::vector<float> chunk) {
  samples.insert(samples.end(), chunk.begin(), chunk.end());
  if (task_) task_->heard(std::move(chunk));
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
  stopResuming();
  request_->task_ = nullptr;
  if (world_.current_ == this) world_.current_ = nullptr;
}

void SimTask::cancel() {
  delivery_.cancel();
  stopResuming();
  pending_.clear();
  // The decoder ends the utterance even so, and the next task waits for it.
  if (!done_ && utteranceSpeech_ > 0) endUtterance();
  done_ = true;
}

void SimTask::deliver(std::optional<RecognitionResult> result, RecognitionError error) {
  delivery_.deliver(std::move(result), std::move(error));
}

void SimTask::heard(std::vector<float> samples) {
  if (!world_.transcribes || done_) return;
  if (pendingSamples_ + samples.size() > world_.mostPendingSamples) return fail("Recognizer fell behind the audio");
  pendingSamples_ += samples.size();
  pending_.push_back(std::move(samples));
  pump();
}

void SimTask::audioEnded() {
  if (!world_.transcribes || done_) return;
  ended_ = true;
  pump();
}

void SimTask::pump() {
  auto& loop = world_.loop_;
  while (!done_ && loop.now() >= world_.decoderFreeAt_) {
    if (!pending_.empty()) {
      const auto samples = std::move(pending_.front());
      pending_.pop_front();
      pendingSamples_ -= samples.size();
      decode(samples);
      continue;
    }
    if (!ended_) return;
    // Like the platform, a recording without speech ends in an error.
    if (words_ == 0) return fail("No speech detected");
    endUtterance();
    done_ = true;
    const auto finalText = text();
    if (loop.now() >= world_.decoderFreeAt_) return deliver(RecognitionResult{finalText, true}, {});
    resume_ = loop.schedule(world_.decoderFreeAt_ - loop.now(), false, [this, finalText] {
      deliver(RecognitionResult{finalText, true}, {});
    });
    return;
  }
  if (!done_) resume_ = loop.schedule(world_.decoderFreeAt_ - loop.now(), false, [this] { pump(); });
}

void SimTask::decode(const std::vector<float>& samples) {
  float peak = 0;
  for (const float s : samples) peak = std::max(peak, std::fabs(s));
  if (peak < silence) {
    silence_ += samples.size();
    if (utteranceSpeech_ == 0 || silence_ < pauseSamples) return;
    endUtterance();
  } else {
    silence_ = 0;
    utteranceSpeech_ += samples.size();
    towardsWord_ += samples.size();
    words_ += towardsWord_ / samplesPerWord;
    towardsWord_ %= samplesPerWord;
  }
  // Like the platform's, a partial result says something new.
  if (!request_->reportsPartialResults || text() == sent_) return;
  sent_ = text();
  deliver(RecognitionResult{sent_, false}, {});
}

void SimTask::endUtterance() {
  const auto now = world_.loop_.now();
  const auto cost = world_.endPassPerSecond * static_cast<std::int64_t>(utteranceSpeech_) / 16000;
  world_.decoderFreeAt_ = std::max(now, world_.decoderFreeAt_) + cost;
  utteranceStart_ = words_;
  utteranceSpeech_ = 0;
}

void SimTask::stopResuming() {
  if (resume_) resume_->invalidate();
  resume_.reset();
}

void SimTask::fail(std::string description) {
  done_ = true;
  pending_.clear();
  deliver(std::nullopt, std::move(description));
}

std::string SimTask::text() const {
  const auto& all = phrase(locale_);
  const std::string separator = locale_ == "en-US" ? " " : "";
  std::string text;
  for (std::size_t i = 0; i < words_; ++i) {
    const Word& word = all[i % all.size()];
    text += (i > 0 ? separator : "") + (i >= utteranceStart_ ? word.firstGuess : word.text);
  }
  return text;
}

}  // namespace morvik::speech::sim
