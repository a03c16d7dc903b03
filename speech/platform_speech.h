#pragma once

#include <memory>

#include "channel/main_loop.h"
#include "speech/recognizer.h"

namespace morvik::speech {

// The recogniser of the platform morvik-speech is built for: Speech on
// macOS, PocketSphinx on Linux, or the simulated one. It lives as long as
// the process.
std::unique_ptr<SpeechPlatform> makeSpeechPlatform(channel::MainLoop& loop);

}  // namespace morvik::speech
