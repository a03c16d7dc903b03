// The dictation logic against the simulated recogniser on a manual loop.
#include "speech/speech_bridge.h"

#include <gtest/gtest.h>

#include "channel/base64.h"
#include "channel/manual_loop.h"
#include "speech/audio_chunk.h"
#include "speech/messages.h"
#include "speech/sim/sim_speech.h"

namespace morvik::speech {
namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;
namespace msg = message;

// 20 ms of a loud square wave, or of silence, as one "audio" line.
std::string audio(std::uint32_t session, bool loud = true) {
  channel::Bytes pcm;
  for (int i = 0; i < 320; ++i) {
    const std::int16_t v = loud ? (i % 40 < 20 ? 8000 : -8000) : 0;
    pcm.push_back(static_cast<std::uint8_t>(v));
    pcm.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return R"({"op":"audio","session":)" + std::to_string(session) + R"(,"pcm":")" + channel::encodeBase64(pcm) + "\"}";
}
std::string start(std::uint32_t s) { return R"({"op":"start","session":)" + std::to_string(s) + "}"; }
std::string end(std::uint32_t s) { return R"({"op":"end","session":)" + std::to_string(s) + "}"; }
std::string partial(std::uint32_t s, const std::string& text) {
  return channel::serialize({{"event", "partial"}, {"session", s}, {"text", text}});
}
std::string final(std::uint32_t s, const std::string& text) {
  return channel::serialize({{"event", "final"}, {"session", s}, {"text", text}});
}
std::string error(std::string_view message, std::optional<std::uint32_t> s = std::nullopt) {
  channel::Json event{{"event", "error"}, {"message", message}};
  if (s) event["session"] = *s;
  return channel::serialize(event);
}
const std::string readyEnglish = R"({"event":"ready","locale":"en-US","offline":true})";

struct Dictation {
  Dictation() { sim.transcribes = false; }
  void send(const std::string& line) {
    bridge.receive(*channel::parseObject(line));
    loop.runReady();
  }
  Lines lines() { return out.takeLines(); }
  // Prepared for English, session `s` open and the output cleared.
  void open(std::uint32_t s) {
    send(R"({"op":"prepare","locale":"en-US"})");
    send(start(s));
    lines();
  }
  // Chunks of speech or silence pushed in real time.
  void speak(std::uint32_t s, int chunks, bool loud = true) {
    for (int i = 0; i < chunks; ++i) {
      send(audio(s, loud));
      loop.advance(milliseconds(20));
    }
  }
  void deliver(std::optional<RecognitionResult> result, RecognitionError failure = {}) {
    sim.currentTask()->deliver(std::move(result), std::move(failure));
    loop.runReady();
  }

  channel::ManualLoop loop;
  sim::SimSpeech sim{loop};
  channel::RecordingOutput out;
  SpeechBridge bridge{out, loop, sim};
};

TEST(AudioChunk, ConversionAndLimits) {
  const auto chunk = [](channel::Bytes bytes) { return decodeAudioChunk(channel::encodeBase64(bytes)); };
  EXPECT_EQ(chunk({0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00}), (std::vector<float>{-1.0f, 32767.0f / 32768.0f, 0.0f}));
  EXPECT_EQ(chunk(channel::Bytes(640))->size(), 320u);
  EXPECT_EQ(chunk(channel::Bytes(641)), std::nullopt);
  EXPECT_EQ(chunk(channel::Bytes(3)), std::nullopt);
  EXPECT_EQ(chunk({}), std::nullopt);
  EXPECT_EQ(decodeAudioChunk("AAA"), std::nullopt);
  EXPECT_EQ(decodeAudioChunk(std::string(1025, 'A')), std::nullopt);
}

TEST(SpeechRequests, SessionMustBeAnUnsigned32BitNumber) {
  for (const char* bad : {R"({"op":"start"})", R"({"op":"start","session":-1})", R"({"op":"start","session":1.5})",
                          R"({"op":"start","session":4294967296})", R"({"op":"start","session":"1"})",
                          R"({"op":"start","session":true})", R"({"session":1})", R"({"op":7,"session":1})"}) {
    Dictation d;
    d.send(R"({"op":"prepare","locale":"en-US"})");
    d.lines();
    d.send(bad);
    EXPECT_EQ(d.lines(), Lines{}) << bad;
    EXPECT_EQ(d.sim.currentTask(), nullptr) << bad;
  }
  for (const auto& [line, number] :
       {std::pair<std::string, std::uint32_t>{R"({"op":"start","session":4294967295})", 4294967295u},
        {R"({"op":"start","session":2.0})", 2}}) {
    Dictation d;
    d.send(R"({"op":"prepare","locale":"en-US"})");
    d.send(line);
    d.lines();
    d.deliver(RecognitionResult{"hi", false});
    EXPECT_EQ(d.lines(), (Lines{partial(number, "hi")})) << line;
  }
}

TEST(SpeechRequests, StaleSessionsAndAudioAfterEndAreIgnored) {
  Dictation d;
  d.open(7);
  for (const auto& line :
       Lines{audio(8), end(8), R"({"op":"audio","session":7})", R"({"op":"audio","session":7,"pcm":"not base64"})",
             R"({"op":"pause","session":7})", audio(7), end(7), audio(7)})
    d.send(line);
  EXPECT_EQ(d.lines(), Lines{});
  EXPECT_EQ(d.sim.currentTask()->request().samples.size(), 320u) << "only the chunk of the open session, before end";
  EXPECT_EQ(d.sim.currentTask()->request().endAudioCalls, 1);
  EXPECT_TRUE(d.sim.currentTask()->request().requiresOnDevice) << "the recogniser is on the device";
}

TEST(SpeechPrepare, LocaleAndAuthorization) {
  using A = AuthorizationStatus;
  const std::string english = R"({"op":"prepare","locale":"en-US"})";
  const std::string asking = R"({"op":"prepare","locale":"en-US","request":true})";
  const std::string readyChinese = R"({"event":"ready","locale":"zh-CN","offline":true})";
  const struct {
    const char* name;
    std::string request;
    A status;
    std::optional<A> decision;
    bool englishAvailable;
    std::string expected;
    int asked;
    bool modelLoads = true;
  } cases[] = {
      // clang-format off
      {"default locale", R"({"op":"prepare"})", A::authorized, {}, true, readyChinese, 0},
      {"locale not a string", R"({"op":"prepare","locale":5})", A::authorized, {}, true, readyChinese, 0},
      {"letter case", R"({"op":"prepare","locale":"en-us"})", A::authorized, {}, true, error(msg::unsupportedLanguage), 0},
      {"not determined, no request", english, A::notDetermined, A::authorized, true, error(msg::notAuthorized), 0},
      {"not determined, request not true", R"({"op":"prepare","locale":"en-US","request":1})", A::notDetermined, A::authorized, true, error(msg::notAuthorized), 0},
      {"asked and granted", asking, A::notDetermined, A::authorized, true, readyEnglish, 1},
      {"asked and denied", asking, A::notDetermined, A::denied, true, error(msg::notAuthorized), 1},
      {"denied", asking, A::denied, {}, true, error(msg::notAuthorized), 0},
      {"restricted", english, A::restricted, {}, true, error(msg::notAuthorized), 0},
      {"recogniser unavailable", english, A::authorized, {}, false, error(msg::recognizerUnavailable), 0},
      {"model does not load", english, A::authorized, {}, true, error(msg::recognizerUnavailable), 0, false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictation d;
    d.sim.status = c.status;
    d.sim.decision = c.decision;
    d.sim.decisionDelay = seconds(30);
    if (!c.englishAvailable) d.sim.recognizers["en-US"].available = false;
    d.sim.modelLoads = c.modelLoads;
    d.send(c.request);
    d.loop.advance(seconds(30));
    EXPECT_EQ(d.lines(), Lines{c.expected});
    EXPECT_EQ(d.sim.authorizationRequests, c.asked);
  }
}

TEST(SpeechStart, NeedsAReadyRecognizer) {
  Dictation d;
  d.send(start(1));
  EXPECT_EQ(d.lines(), (Lines{error(msg::notReady)}));
  // A recogniser that is not on the device: "offline" says so, and the request does not insist on it.
  d.sim.recognizers["en-US"].onDevice = false;
  d.send(R"({"op":"prepare","locale":"en-US"})");
  EXPECT_EQ(d.lines(), Lines{R"({"event":"ready","locale":"en-US","offline":false})"});
  d.send(start(1));
  const auto& request = d.sim.currentTask()->request();
  EXPECT_TRUE(request.reportsPartialResults);
  EXPECT_EQ(request.hint, TaskHint::dictation);
  EXPECT_FALSE(request.requiresOnDevice);
  d.send(R"({"op":"cancel"})");
  d.sim.recognizers["en-US"].available = false;
  d.send(start(3));
  EXPECT_EQ(d.lines(), (Lines{error(msg::notReady)}));
}

// Every way a session ends, and that nothing of the session follows its end.
TEST(SpeechSession, Endings) {
  using Step = std::function<void(Dictation&)>;
  const auto sends = [](std::string line) -> Step { return [=](Dictation& d) { d.send(line); }; };
  const auto waits = [](int s) -> Step { return [=](Dictation& d) { d.loop.advance(seconds(s)); }; };
  const auto says = [](std::string text, bool isFinal, RecognitionError failure = {}) -> Step {
    return [=](Dictation& d) { d.deliver(RecognitionResult{text, isFinal}, failure); };
  };
  const Step endIt = sends(end(1)), cancel = sends(R"({"op":"cancel"})");
  const Step fails = [](Dictation& d) { d.deliver(std::nullopt, "Network down"); };
  const auto failed = std::string(msg::recognitionFailed) + "Network down";
  const Lines opened{partial(1, "open"), final(1, "open")};
  const std::string longest = std::string(7999, 'a') + "e\xCC\x81";
  const struct {
    const char* name;
    std::vector<Step> steps;
    Lines expected;
  } cases[] = {
      {"final before end, then end",
       {says("open the door", true), endIt},
       {partial(1, "open the door"), final(1, "open the door")}},
      {"final after end", {endIt, says("open", true)}, opened},
      {"final without words after end", {endIt, says("", true)}, {partial(1, ""), final(1, "")}},
      {"error after end with text", {says("open", false), endIt, fails}, opened},
      {"error after end without text", {endIt, fails}, {error(failed, 1)}},
      {"error before end", {says("open", false), fails}, {partial(1, "open"), error(failed, 1)}},
      {"result and error in one call", {endIt, says("open", true, "ignored")}, opened},
      {"timer with text", {says("open", false), endIt, waits(10)}, opened},
      {"timer without text", {endIt, waits(10)}, {error(msg::nothingRecognized, 1)}},
      {"a repeated end keeps the first timer", {endIt, waits(6), endIt, waits(4)}, {error(msg::nothingRecognized, 1)}},
      {"a second start", {sends(start(2))}, {error(msg::notReady, 1)}},
      {"cancel", {cancel}, {}},
      {"cancel forgets a final result before end: session 2 waits for its own",
       {says("early", true), cancel, sends(start(2)), sends(end(2)), says("its own", true)},
       {partial(1, "early"), partial(2, "its own"), final(2, "its own")}},
      {"prepare", {sends(R"({"op":"prepare","locale":"en-US"})")}, {readyEnglish}},
      {"a failed prepare, the earlier recogniser kept",
       {sends(R"({"op":"prepare","locale":"fr-FR"})"), sends(start(2)), says("still here", false)},
       {error(msg::unsupportedLanguage), partial(2, "still here")}},
      {"a refused prepare, the earlier recogniser kept",
       {[](Dictation& d) { d.sim.status = AuthorizationStatus::denied; }, sends(R"({"op":"prepare"})"), sends(start(2)),
        says("still here", false)},
       {error(msg::notAuthorized), partial(2, "still here")}},
      {"the text cut to 8000 characters", {says(longest + "xyz", false)}, {partial(1, longest)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictation d;
    d.open(1);
    const TaskDelivery late = d.sim.currentTask()->delivery();
    for (const auto& step : c.steps) step(d);
    EXPECT_EQ(d.lines(), c.expected);
    // A late callback of the ended task, even into a new session of the same
    // number, and the timer's time bring nothing.
    d.send(start(1));
    d.lines();
    late.deliver(RecognitionResult{"late", true}, "late");
    d.loop.advance(seconds(20));
    EXPECT_EQ(d.lines(), Lines{});
  }
}

// Against a recogniser that decodes as an offline one does: utterances split
// at pauses, end passes that take time and mend the first guesses, one
// decoder shared in turn.
TEST(SpeechDecoding, PausesSplitTheDictationEndPassesMendItAndTheDecoderIsSharedInTurn) {
  Dictation d;
  d.sim.transcribes = true;
  d.open(1);
  d.speak(1, 40);  // four words
  d.speak(1, 30, false);
  d.speak(1, 20);
  d.send(end(1));
  const std::string heard = "please open the settings in turn";
  EXPECT_EQ(d.lines(), (Lines{partial(1, "please"), partial(1, "please open"), partial(1, "please open the"),
                              partial(1, "please open the setting"), partial(1, "please open the settings"),
                              partial(1, "please open the settings in"), partial(1, heard)}));
  d.loop.advance(milliseconds(16));  // the end pass of 0.4 s of speech
  const std::string mended = "please open the settings and turn";
  EXPECT_EQ(d.lines(), (Lines{partial(1, mended), final(1, mended)}));

  d.sim.endPassPerSecond = seconds(1);
  d.sim.mostPendingSamples = 16000;
  d.send(start(2));
  d.speak(2, 100);  // 2 s: the cancel costs a 2 s end pass
  d.send(R"({"op":"cancel"})");
  d.send(start(3));
  d.lines();
  d.speak(3, 20);
  EXPECT_EQ(d.lines(), Lines{}) << "the decoder is still ending session 2";
  d.loop.advance(seconds(2));
  EXPECT_EQ(d.lines(), (Lines{partial(3, "please"), partial(3, "please open")}));

  d.speak(3, 80);
  d.lines();
  d.send(R"({"op":"cancel"})");
  d.send(start(4));
  d.speak(4, 51);  // more than a second while the decoder is busy
  EXPECT_EQ(d.lines(), (Lines{error(std::string(msg::recognitionFailed) + "Recognizer fell behind the audio", 4)}));
}

}  // namespace
}  // namespace morvik::speech
