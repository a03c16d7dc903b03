// morvik-speech's own cost per audio chunk: one "audio" line parsed, checked,
// decoded and converted to float samples, and handed to the recogniser's
// request (which discards it here).
#include <benchmark/benchmark.h>

#include "channel/base64.h"
#include "channel/manual_loop.h"
#include "channel/output.h"
#include "channel/reader.h"
#include "speech/speech_bridge.h"

namespace {

using namespace morvik;

class NullRequest final : public speech::AudioBufferRecognitionRequest {
 public:
  void setShouldReportPartialResults(bool) override {}
  void setTaskHint(speech::TaskHint) override {}
  void setRequiresOnDeviceRecognition(bool) override {}
  void appendAudio(std::vector<float> samples) override { benchmark::DoNotOptimize(samples.data()); }
  void endAudio() override {}
};

class NullTask final : public speech::RecognitionTask {
 public:
  void cancel() override {}
};

class NullRecognizer final : public speech::SpeechRecognizer {
 public:
  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return true; }
  std::unique_ptr<speech::RecognitionTask> recognitionTask(
      const std::shared_ptr<speech::AudioBufferRecognitionRequest>&, speech::ResultHandler) override {
    return std::make_unique<NullTask>();
  }
};

class NullSpeech final : public speech::SpeechPlatform {
 public:
  speech::AuthorizationStatus authorizationStatus() override { return speech::AuthorizationStatus::authorized; }
  void requestAuthorization(std::function<void(speech::AuthorizationStatus)>) override {}
  std::shared_ptr<speech::SpeechRecognizer> makeRecognizer(const std::string&) override {
    return std::make_shared<NullRecognizer>();
  }
  std::shared_ptr<speech::AudioBufferRecognitionRequest> makeAudioBufferRequest() override {
    return std::make_shared<NullRequest>();
  }
};

void BM_AudioChunkLine(benchmark::State& state) {
  channel::ManualLoop loop;
  channel::RecordingOutput out;
  NullSpeech platform;
  speech::SpeechBridge bridge(out, loop, platform);
  bridge.receive(*channel::parseObject(R"({"op":"prepare","locale":"en-US"})"));
  bridge.receive(*channel::parseObject(R"({"op":"start","session":1})"));
  channel::Bytes pcm(640);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::uint8_t>(i * 7);
  const std::string line = R"({"op":"audio","session":1,"pcm":")" + channel::encodeBase64(pcm) + "\"}";
  for (auto _ : state) bridge.receive(*channel::parseRequest(line, channel::speechLineLimit));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AudioChunkLine);

}  // namespace

BENCHMARK_MAIN();
