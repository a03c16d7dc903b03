#include "speech/linux/pocketsphinx_speech.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "speech/task_delivery.h"

namespace morvik::speech::linux {

// The loaded English decoder, used by one task after the other. Loading takes about half a second, so it starts at once
// on a thread of its own and the first task waits for it.
class Decoder {
 public:
  explicit Decoder(const ModelFiles& files)
      : loaded_(std::async(std::launch::async, [files] { return load(files); }).share()) {}
  ~Decoder() {
    if (ps_decoder_t* decoder = loaded_.get()) ps_free(decoder);
  }

  // The decoder, or none when the model could not be loaded.
  ps_decoder_t* get() const { return loaded_.get(); }
  std::mutex& inUse() { return inUse_; }

 private:
  static ps_decoder_t* load(const ModelFiles& files) {
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
                                   files.languageModel.c_str(), "-dict", files.dictionary.c_str(), nullptr);
    if (config == nullptr) return nullptr;
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);
    return decoder;
  }

  std::shared_future<ps_decoder_t*> loaded_;
  std::mutex inUse_;
};

namespace {

// Descriptions of the errors this layer reports, in the user's language as
// the platform's own would be.
constexpr const char* modelNotLoaded = "无法加载 PocketSphinx 语音模型";
constexpr const char* decoderFailed = "PocketSphinx 解码失败";
constexpr const char* noSpeech = "未检测到语音";
constexpr const char* fellBehind = "语音识别跟不上音频输入";

// Audio waiting for the decoder, at most; the application pushes in real
// time and the decoder runs several times faster.
constexpr std::size_t mostPendingSamples = 16000 * 120;

// The audio of one request, handed from the main thread to the task's worker.
struct Feed {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<std::int16_t>> chunks;
  std::size_t pendingSamples = 0;
  bool ended = false;
  bool cancelled = false;
  bool overflowed = false;
};

class SphinxRequest final : public AudioBufferRecognitionRequest {
 public:
  void setShouldReportPartialResults(bool report) override { partial = report; }
  void setTaskHint(TaskHint) override {}
  void setRequiresOnDeviceRecognition(bool) override {}

  void appendAudio(std::vector<float> samples) override {
    std::vector<std::int16_t> pcm(samples.size());
    // Exact: every sample was v / 32768 of a 16-bit v.
    for (std::size_t i = 0; i < samples.size(); ++i) pcm[i] = static_cast<std::int16_t>(samples[i] * 32768.0f);
    std::lock_guard lock(feed->mutex);
    if (feed->ended || feed->cancelled || feed->overflowed) return;
    if (feed->pendingSamples + pcm.size() > mostPendingSamples) {
      feed->overflowed = true;
    } else {
      feed->pendingSamples += pcm.size();
      feed->chunks.push_back(std::move(pcm));
    }
    feed->changed.notify_one();
  }

  void endAudio() override {
    std::lock_guard lock(feed->mutex);
    feed->ended = true;
    feed->changed.notify_one();
  }

  const std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  bool partial = false;
};

// Decodes one utterance: partial results as the hypothesis changes, the
// final one once the audio has ended and been decoded.
void decode(const std::shared_ptr<Decoder>& decoder, const std::shared_ptr<Feed>& feed, bool partial,
            const TaskDelivery& delivery) {
  ps_decoder_t* ps = decoder->get();
  if (ps == nullptr) return delivery.deliver(std::nullopt, std::string(modelNotLoaded));
  std::lock_guard inUse(decoder->inUse());
  if (ps_start_utt(ps) < 0) return delivery.deliver(std::nullopt, std::string(decoderFailed));
  std::string hypothesis;
  for (;;) {
    std::vector<std::int16_t> chunk;
    {
      std::unique_lock lock(feed->mutex);
      feed->changed.wait(lock,
                         [&] { return feed->cancelled || feed->overflowed || !feed->chunks.empty() || feed->ended; });
      if (feed->cancelled) break;
      if (feed->overflowed) {
        delivery.deliver(std::nullopt, std::string(fellBehind));
        break;
      }
      if (feed->chunks.empty()) {
        ps_end_utt(ps);
        const char* text = ps_get_hyp(ps, nullptr);
        if (text == nullptr || *text == '\0') return delivery.deliver(std::nullopt, std::string(noSpeech));
        return delivery.deliver(RecognitionResult{text, true}, {});
      }
      chunk = std::move(feed->chunks.front());
      feed->chunks.pop_front();
      feed->pendingSamples -= chunk.size();
    }
    if (ps_process_raw(ps, chunk.data(), chunk.size(), FALSE, FALSE) < 0) {
      delivery.deliver(std::nullopt, std::string(decoderFailed));
      break;
    }
    const char* text = ps_get_hyp(ps, nullptr);
    if (partial && text != nullptr && hypothesis != text) {
      hypothesis = text;
      delivery.deliver(RecognitionResult{hypothesis, false}, {});
    }
  }
  // The decoder is shared: end the utterance before the next task starts one.
  ps_end_utt(ps);
}

class SphinxTask final : public RecognitionTask {
 public:
  SphinxTask(channel::MainLoop& loop, std::shared_ptr<Decoder> decoder, std::shared_ptr<SphinxRequest> request,
             ResultHandler handler)
      : feed_(request->feed), delivery_(loop, std::move(handler)) {
    std::thread(decode, std::move(decoder), feed_, request->partial, delivery_).detach();
  }
  ~SphinxTask() override { cancel(); }

  void cancel() override {
    delivery_.cancel();
    std::lock_guard lock(feed_->mutex);
    feed_->cancelled = true;
    feed_->chunks.clear();
    feed_->pendingSamples = 0;
    feed_->changed.notify_one();
  }

 private:
  std::shared_ptr<Feed> feed_;
  TaskDelivery delivery_;
};

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  SphinxRecognizer(channel::MainLoop& loop, std::shared_ptr<Decoder> decoder)
      : loop_(loop), decoder_(std::move(decoder)) {}
  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return true; }
  std::unique_ptr<RecognitionTask> recognitionTask(const std::shared_ptr<AudioBufferRecognitionRequest>& request,
                                                   ResultHandler handler) override {
    auto sphinx = std::dynamic_pointer_cast<SphinxRequest>(request);
    if (!sphinx) return nullptr;
    return std::make_unique<SphinxTask>(loop_, decoder_, std::move(sphinx), std::move(handler));
  }

 private:
  channel::MainLoop& loop_;
  std::shared_ptr<Decoder> decoder_;
};

}  // namespace

bool ModelFiles::installed() const {
  std::error_code error;
  return std::filesystem::is_directory(acousticModel, error) &&
         std::filesystem::is_regular_file(languageModel, error) && std::filesystem::is_regular_file(dictionary, error);
}

ModelFiles packagedEnglishModel() {
  const std::filesystem::path root = "/usr/share/pocketsphinx/model/en-us";
  return {root / "en-us", root / "en-us.lm.bin", root / "cmudict-en-us.dict"};
}

PocketSphinxSpeech::PocketSphinxSpeech(channel::MainLoop& loop, ModelFiles english)
    : loop_(loop), english_(std::move(english)) {
  // PocketSphinx logs to standard error by default; a helper writes nothing there.
  err_set_logfp(nullptr);
}

void PocketSphinxSpeech::requestAuthorization(std::function<void(AuthorizationStatus)> answer) {
  loop_.post([answer = std::move(answer)] { answer(AuthorizationStatus::authorized); });
}

std::shared_ptr<SpeechRecognizer> PocketSphinxSpeech::makeRecognizer(const std::string& locale) {
  if (locale != "en-US" || !english_.installed()) return nullptr;
  if (!decoder_) decoder_ = std::make_shared<Decoder>(english_);
  return std::make_shared<SphinxRecognizer>(loop_, decoder_);
}

std::shared_ptr<AudioBufferRecognitionRequest> PocketSphinxSpeech::makeAudioBufferRequest() {
  return std::make_shared<SphinxRequest>();
}

}  // namespace morvik::speech::linux
