#include "speech/linux/pocketsphinx_speech.h"
#include "speech/platform_speech.h"

namespace morvik::speech {

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(channel::MainLoop& loop) {
  return std::make_unique<linux::PocketSphinxSpeech>(loop, linux::packagedEnglishModel());
}

}  // namespace morvik::speech
