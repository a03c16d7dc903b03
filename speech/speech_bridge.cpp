#include "speech/speech_bridge.h"

#include <chrono>

#include "channel/text.h"
#include "speech/audio_chunk.h"
#include "speech/messages.h"

namespace morvik::speech {
namespace {

constexpr std::string_view defaultLocale = "zh-CN";
constexpr std::size_t longestText = 8000;  // user-perceived characters
constexpr auto finishTimeout = std::chrono::seconds(10);

}  // namespace

SpeechBridge::SpeechBridge(channel::Output& out, channel::MainLoop& loop, SpeechPlatform& platform)
    : out_(out), loop_(loop), platform_(platform) {}

void SpeechBridge::receive(const Json& message) {
  const auto op = channel::readString(message, "op");
  if (!op) return;
  if (*op == "prepare") return prepare(message);
  if (*op == "cancel") return cancel();
  const auto number = sessionNumber(message);
  if (!number) return;
  if (*op == "start") return start(*number);
  if (!session || *session != *number) return;
  if (*op == "audio") return audio(message);
  if (*op == "end") return end();
}

void SpeechBridge::prepare(const Json& message) {
  cancel();
  const std::string locale = channel::readString(message, "locale").value_or(std::string(defaultLocale));
  if (locale != "zh-CN" && locale != "en-US") return failure(message::unsupportedLanguage);
  const AuthorizationStatus status = platform_.authorizationStatus();
  if (status == AuthorizationStatus::notDetermined && channel::readBool(message, "request") == true) {
    return platform_.requestAuthorization([this, locale](AuthorizationStatus answer) { configure(answer, locale); });
  }
  configure(status, locale);
}

void SpeechBridge::configure(AuthorizationStatus status, const std::string& locale) {
  if (status != AuthorizationStatus::authorized) return failure(message::notAuthorized);
  auto made = platform_.makeRecognizer(locale);
  if (!made || !made->isAvailable()) return failure(message::recognizerUnavailable);
  recognizer = std::move(made);
  channel::emit(out_,
                Json{{"event", "ready"}, {"locale", locale}, {"offline", recognizer->supportsOnDeviceRecognition()}});
}

void SpeechBridge::start(std::uint32_t number) {
  if (session || !recognizer || !recognizer->isAvailable()) return failure(message::notReady);
  session = number;
  text.clear();
  ending = false;
  request = platform_.makeAudioBufferRequest();
  request->setShouldReportPartialResults(true);
  request->setTaskHint(TaskHint::dictation);
  request->setRequiresOnDeviceRecognition(recognizer->supportsOnDeviceRecognition());
  // The bridge outlives every task; the number tells a late result of an
  // earlier session from the current one.
  task = recognizer->recognitionTask(
      request, [this, number](const auto& result, const auto& error) { handleResult(number, result, error); });
}

void SpeechBridge::audio(const Json& message) {
  if (ending) return;
  const auto pcm = channel::readString(message, "pcm");
  if (!pcm) return;
  auto samples = decodeAudioChunk(*pcm);
  if (samples && request) request->appendAudio(std::move(*samples));
}

void SpeechBridge::end() {
  ending = true;
  if (completed) return finish(*session);
  if (request) request->endAudio();
  // A repeated "end" keeps the timer already armed: a second one would
  // outlive this session and could end the next one.
  if (finishTimer) return;
  finishTimer = loop_.schedule(finishTimeout, false, [this, number = *session] { finishTimerFired(number); });
}

void SpeechBridge::handleResult(std::uint32_t number, const std::optional<RecognitionResult>& result,
                                const RecognitionError& error) {
  if (!session || *session != number) return;
  if (result) {
    text = channel::truncateGraphemes(result->formattedString, longestText);
    channel::emit(out_, Json{{"event", "partial"}, {"session", number}, {"text", text}});
    if (result->isFinal) {
      completed = true;
      if (ending) finish(number);
      return;
    }
  }
  if (!error) return;
  if (ending && !text.empty()) return finish(number);
  failure(std::string(message::recognitionFailed) + *error);
}

void SpeechBridge::finishTimerFired(std::uint32_t number) {
  // Only the session that armed the timer may be settled by it.
  if (!session || *session != number) return;
  if (text.empty()) return failure(message::nothingRecognized);
  finish(number);
}

void SpeechBridge::finish(std::uint32_t number) {
  if (!session || *session != number) return;
  const std::string finalText = text;
  cancel();
  channel::emit(out_, Json{{"event", "final"}, {"session", number}, {"text", finalText}});
}

void SpeechBridge::failure(std::string_view message) {
  const auto open = session;
  cancel();
  Json event{{"event", "error"}, {"message", message}};
  if (open) event["session"] = *open;
  channel::emit(out_, event);
}

void SpeechBridge::cancel() {
  if (finishTimer) finishTimer->invalidate();
  finishTimer.reset();
  session.reset();
  if (task) task->cancel();
  task.reset();
  request.reset();
  text.clear();
  ending = false;
  completed = false;
}

}  // namespace morvik::speech
