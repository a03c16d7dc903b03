#pragma once

// Offline recognition on Linux with PocketSphinx and its packaged US English
// model. Linux asks no permission for offline recognition, so the status is
// always authorized; "zh-CN" has no model, so it gets no recogniser. The
// model is loaded once, at the first "prepare" of English, into one decoder
// that the tasks share in turn (shared_decoder.h).

#include <filesystem>
#include <memory>
#include <string>

#include "channel/main_loop.h"
#include "speech/recognizer.h"

namespace morvik::speech::linux {

struct ModelFiles {
  std::filesystem::path acousticModel;
  std::filesystem::path languageModel;
  std::filesystem::path dictionary;
  bool installed() const;
};

// Where Debian's pocketsphinx-en-us puts the model.
ModelFiles packagedEnglishModel();

class SharedDecoder;

class PocketSphinxSpeech final : public SpeechPlatform {
 public:
  PocketSphinxSpeech(channel::MainLoop& loop, ModelFiles english);

  AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::authorized; }
  void requestAuthorization(std::function<void(AuthorizationStatus)> answer) override;
  // Loads the model the first time, on the calling thread (about a
  // second; a child process tries the acoustic model and the dictionary
  // first, as a broken one can end the process): none when it is missing or does not load, and the
  // next call tries again.
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;
  std::shared_ptr<AudioBufferRecognitionRequest> makeAudioBufferRequest() override;

 private:
  channel::MainLoop& loop_;
  ModelFiles english_;
  // Kept for the process once loaded.
  std::shared_ptr<SharedDecoder> decoder_;
};

}  // namespace morvik::speech::linux
