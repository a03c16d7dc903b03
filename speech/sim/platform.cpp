#include "speech/platform_speech.h"
#include "speech/sim/sim_speech.h"

namespace morvik::speech {

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(channel::MainLoop& loop) {
  return std::make_unique<sim::SimSpeech>(loop);
}

}  // namespace morvik::speech
