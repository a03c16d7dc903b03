#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "channel/json.h"
#include "channel/main_loop.h"
#include "channel/output.h"
#include "speech/recognizer.h"

namespace morvik::speech {

using channel::Json;

// Dictation of pushed audio: one session at a time, numbered by the
// application, with partial and final text or an exact error. Owns all
// state, lives for the whole process and runs on the main loop only.
class SpeechBridge {
 public:
  SpeechBridge(channel::Output& out, channel::MainLoop& loop, SpeechPlatform& platform);
  SpeechBridge(const SpeechBridge&) = delete;
  SpeechBridge& operator=(const SpeechBridge&) = delete;

  // One request object from the channel.
  void receive(const Json& message);
  // Drops the running session silently; the recogniser stays.
  void cancel();

 private:
  void prepare(const Json& message);
  void configure(AuthorizationStatus status, const std::string& locale);
  void start(std::uint32_t number);
  void audio(const Json& message);
  void end();
  void handleResult(std::uint32_t number, const std::optional<RecognitionResult>& result,
                    const RecognitionError& error);
  void finishTimerFired(std::uint32_t number);
  void finish(std::uint32_t number);
  void failure(std::string_view message);

  channel::Output& out_;
  channel::MainLoop& loop_;
  SpeechPlatform& platform_;

  std::shared_ptr<SpeechRecognizer> recognizer;
  std::shared_ptr<AudioBufferRecognitionRequest> request;
  std::unique_ptr<RecognitionTask> task;
  std::optional<std::uint32_t> session;
  std::string text;
  bool ending = false;
  bool completed = false;
  std::unique_ptr<channel::Timer> finishTimer;
};

}  // namespace morvik::speech
