#include "speech/linux/pocketsphinx_speech.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "speech/linux/model_definition.h"
#include "speech/linux/shared_decoder.h"
#include "speech/task_delivery.h"

namespace morvik::speech::linux {
namespace {

class SphinxUtterances final : public UtteranceDecoder {
 public:
  explicit SphinxUtterances(ps_decoder_t* decoder) : ps_(decoder) {}
  ~SphinxUtterances() override { ps_free(ps_); }

  bool startUtterance() override { return ps_start_utt(ps_) >= 0; }
  bool process(const std::int16_t* samples, std::size_t count) override {
    return ps_process_raw(ps_, samples, count, FALSE, FALSE) >= 0;
  }
  bool inSpeech() const override { return ps_get_in_speech(ps_) != 0; }
  int frames() const override { return ps_get_n_frames(ps_); }
  void endUtterance() override { ps_end_utt(ps_); }
  std::string hypothesis() override {
    const char* text = ps_get_hyp(ps_, nullptr);
    return text == nullptr ? std::string() : std::string(text);
  }

 private:
  ps_decoder_t* ps_;
};

ps_decoder_t* openModel(const ModelFiles& files) {
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-lm",
                                 files.languageModel.c_str(), "-dict", files.dictionary.c_str(), nullptr);
  if (config == nullptr) return nullptr;
  ps_decoder_t* decoder = ps_init(config);
  cmd_ln_free_r(config);
  return decoder;
}

// PocketSphinx answers a broken acoustic model by ending the process or by
// crashing, not with an error (a broken language model it reports), and a
// model definition that is only slightly damaged crashes it when it builds
// the dictionary's triphones, or reads past its buffer and goes on
// (model_definition.h checks that file first). So a child process tries the acoustic model with
// the dictionary first, searching for one word instead of loading the language
// model. Its output goes nowhere, as libc reports some damage on standard
// error, and it dies with us.
bool acousticModelLoadsInAChild(const ModelFiles& files) {
  constexpr int longestWaits = 3000;  // of 10 ms: a model that takes 30 s is broken too
  std::fflush(nullptr);               // nothing buffered may be written twice
  // A parent that ignores SIGCHLD passes that on to us, and the kernel would
  // then reap the child before we learn how it ended. We have no other child.
  std::signal(SIGCHLD, SIG_DFL);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const int nowhere = open("/dev/null", O_RDWR);
    if (nowhere < 0 || dup2(nowhere, 0) < 0 || dup2(nowhere, 1) < 0 || dup2(nowhere, 2) < 0) _exit(1);
    if (nowhere > 2) close(nowhere);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent) _exit(1);
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", files.acousticModel.c_str(), "-dict",
                                   files.dictionary.c_str(), "-keyphrase", "hello", nullptr);
    _exit(config != nullptr && ps_init(config) != nullptr ? 0 : 1);
  }
  int status = 0;
  for (int waits = 0;; ++waits) {
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended < 0 && errno != EINTR) return false;
    if (waits == longestWaits) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return false;
    }
    usleep(10000);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::unique_ptr<UtteranceDecoder> load(const ModelFiles& files) {
  if (!files.installed() || !modelDefinitionHoldsTogether(files.acousticModel / "mdef") ||
      !acousticModelLoadsInAChild(files)) {
    return nullptr;
  }
  ps_decoder_t* decoder = openModel(files);
  if (decoder == nullptr) return nullptr;
  return std::make_unique<SphinxUtterances>(decoder);
}

class SphinxRequest final : public AudioBufferRecognitionRequest {
 public:
  void setShouldReportPartialResults(bool report) override { partial = report; }
  void setTaskHint(TaskHint) override {}
  void setRequiresOnDeviceRecognition(bool) override {}

  void appendAudio(std::vector<float> samples) override {
    std::vector<std::int16_t> pcm(samples.size());
    // Exact: every sample was v / 32768 of a 16-bit v.
    for (std::size_t i = 0; i < samples.size(); ++i) pcm[i] = static_cast<std::int16_t>(samples[i] * 32768.0f);
    feed->append(std::move(pcm));
  }
  void endAudio() override { feed->end(); }

  const std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  bool partial = false;
};

class SphinxTask final : public RecognitionTask {
 public:
  SphinxTask(channel::MainLoop& loop, SharedDecoder& decoder, const SphinxRequest& request, ResultHandler handler)
      : feed_(request.feed), delivery_(loop, std::move(handler)) {
    decoder.decode(feed_, delivery_, request.partial);
  }
  ~SphinxTask() override { cancel(); }

  void cancel() override {
    delivery_.cancel();
    feed_->cancel();
  }

 private:
  std::shared_ptr<Feed> feed_;
  TaskDelivery delivery_;
};

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  SphinxRecognizer(channel::MainLoop& loop, std::shared_ptr<SharedDecoder> decoder)
      : loop_(loop), decoder_(std::move(decoder)) {}
  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return true; }
  std::unique_ptr<RecognitionTask> recognitionTask(const std::shared_ptr<AudioBufferRecognitionRequest>& request,
                                                   ResultHandler handler) override {
    auto sphinx = std::dynamic_pointer_cast<SphinxRequest>(request);
    if (!sphinx) return nullptr;
    return std::make_unique<SphinxTask>(loop_, *decoder_, *sphinx, std::move(handler));
  }

 private:
  channel::MainLoop& loop_;
  std::shared_ptr<SharedDecoder> decoder_;
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
  if (locale != "en-US") return nullptr;
  if (!decoder_) {
    auto loaded = load(english_);
    if (!loaded) return nullptr;
    decoder_ = std::make_shared<SharedDecoder>(std::move(loaded));
  }
  return std::make_shared<SphinxRecognizer>(loop_, decoder_);
}

std::shared_ptr<AudioBufferRecognitionRequest> PocketSphinxSpeech::makeAudioBufferRequest() {
  return std::make_shared<SphinxRequest>();
}

}  // namespace morvik::speech::linux
