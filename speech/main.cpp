// morvik-speech: dictation of audio pushed over standard input.
#include "channel/output.h"
#include "channel/reader.h"
#include "speech/platform_speech.h"
#include "speech/speech_bridge.h"

namespace {
// The one bridge of the process, never destroyed.
morvik::speech::SpeechBridge* bridge = nullptr;
}  // namespace

int main() {
  using namespace morvik;
  channel::prepareProcess();
  auto loop = channel::makePlatformLoop();
  auto* platform = speech::makeSpeechPlatform(*loop).release();
  bridge = new speech::SpeechBridge(channel::standardOutput(), *loop, *platform);
  channel::startReader(*loop, {.fd = 0,
                               .limit = channel::speechLineLimit,
                               .receive = [](channel::Json request) { bridge->receive(request); },
                               .atEnd = [] { bridge->cancel(); },
                               .exit = [] { channel::exitProcess(); }});
  loop->run();
  return 0;
}
