#pragma once

// Offline recognition on Linux with PocketSphinx and its packaged US English
// model. Linux asks no permission for offline recognition, so the status is
// always authorized; "zh-CN" has no model, so it gets no recogniser. Each
// task decodes on a worker thread of its own, fed in order, and posts its
// results to the main loop.

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

class Decoder;

class PocketSphinxSpeech final : public SpeechPlatform {
 public:
  PocketSphinxSpeech(channel::MainLoop& loop, ModelFiles english);

  AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::authorized; }
  void requestAuthorization(std::function<void(AuthorizationStatus)> answer) override;
  std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& locale) override;
  std::shared_ptr<AudioBufferRecognitionRequest> makeAudioBufferRequest() override;

 private:
  channel::MainLoop& loop_;
  ModelFiles english_;
  // Loaded once, at the first "prepare" of English, and kept for the process.
  std::shared_ptr<Decoder> decoder_;
};

}  // namespace morvik::speech::linux
