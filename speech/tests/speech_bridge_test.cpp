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
  EXPECT_EQ(decodeAudioChunk(std::string(1024, 'A')), std::nullopt);  // 768 bytes
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
  d.send(audio(8));
  d.send(end(8));
  d.send(R"({"op":"audio","session":7})");
  d.send(R"({"op":"audio","session":7,"pcm":"not base64"})");
  d.send(R"({"op":"pause","session":7})");
  d.send(audio(7));
  d.send(end(7));
  d.send(audio(7));
  EXPECT_EQ(d.lines(), Lines{});
  EXPECT_EQ(d.sim.currentTask()->request().samples.size(), 320u) << "only the chunk of the open session, before end";
  EXPECT_EQ(d.sim.currentTask()->request().endAudioCalls, 1);
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
    bool englishRecognizer, englishAvailable;
    std::string expected;
    int asked;
  } cases[] = {
      // clang-format off
      {"default locale", R"({"op":"prepare"})", A::authorized, {}, true, true, readyChinese, 0},
      {"locale not a string", R"({"op":"prepare","locale":5})", A::authorized, {}, true, true, readyChinese, 0},
      {"letter case", R"({"op":"prepare","locale":"en-us"})", A::authorized, {}, true, true, error(msg::unsupportedLanguage), 0},
      {"not determined, no request", english, A::notDetermined, A::authorized, true, true, error(msg::notAuthorized), 0},
      {"not determined, request not true", R"({"op":"prepare","locale":"en-US","request":1})", A::notDetermined, A::authorized, true, true, error(msg::notAuthorized), 0},
      {"asked and granted", asking, A::notDetermined, A::authorized, true, true, readyEnglish, 1},
      {"asked and denied", asking, A::notDetermined, A::denied, true, true, error(msg::notAuthorized), 1},
      {"denied", asking, A::denied, {}, true, true, error(msg::notAuthorized), 0},
      {"restricted", english, A::restricted, {}, true, true, error(msg::notAuthorized), 0},
      {"no recogniser", english, A::authorized, {}, false, true, error(msg::recognizerUnavailable), 0},
      {"recogniser unavailable", english, A::authorized, {}, true, false, error(msg::recognizerUnavailable), 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictation d;
    d.sim.status = c.status;
    d.sim.decision = c.decision;
    d.sim.decisionDelay = seconds(30);
    if (!c.englishRecognizer) d.sim.recognizers.erase("en-US");
    if (!c.englishAvailable) d.sim.recognizers["en-US"].available = false;
    d.send(c.request);
    d.loop.advance(seconds(30));
    EXPECT_EQ(d.lines(), Lines{c.expected});
    EXPECT_EQ(d.sim.authorizationRequests, c.asked);
  }
}

TEST(SpeechPrepare, FailureKeepsTheEarlierRecognizerAndEndsTheSession) {
  Dictation d;
  d.open(1);
  d.send(R"({"op":"prepare","locale":"fr-FR"})");
  EXPECT_EQ(d.lines(), (Lines{error(msg::unsupportedLanguage)})) << "the session ended quietly first";
  d.send(start(2));
  d.deliver(RecognitionResult{"still here", false});
  EXPECT_EQ(d.lines(), (Lines{partial(2, "still here")}));
}

TEST(SpeechStart, NeedsAReadyRecognizerAndNoOpenSession) {
  Dictation d;
  d.send(start(1));
  EXPECT_EQ(d.lines(), (Lines{error(msg::notReady)}));
  d.open(1);
  d.send(start(2));
  EXPECT_EQ(d.lines(), (Lines{error(msg::notReady, 1)}));
  d.send(audio(1));
  EXPECT_EQ(d.sim.currentTask(), nullptr) << "no session is left open";
  d.sim.recognizers["en-US"].available = false;
  d.send(start(3));
  EXPECT_EQ(d.lines(), (Lines{error(msg::notReady)}));
}

TEST(SpeechStart, ConfiguresTheRequestForDictation) {
  Dictation d;
  d.open(1);
  const auto& request = d.sim.currentTask()->request();
  EXPECT_TRUE(request.reportsPartialResults);
  EXPECT_EQ(request.hint, TaskHint::dictation);
  EXPECT_TRUE(request.requiresOnDevice);
}

// Every way a session ends, and that nothing of the session follows its end.
TEST(SpeechSession, Endings) {
  const auto failed = std::string(msg::recognitionFailed) + "Network down";
  const struct {
    const char* name;
    std::function<void(Dictation&)> play;
    Lines expected;
  } cases[] = {
      {"final before end, then end",
       [](Dictation& d) {
         d.deliver(RecognitionResult{"open the door", true});
         d.send(end(1));
       },
       {partial(1, "open the door"), final(1, "open the door")}},
      {"final after end",
       [](Dictation& d) {
         d.send(end(1));
         d.deliver(RecognitionResult{"open", true});
       },
       {partial(1, "open"), final(1, "open")}},
      {"final without words after end",
       [](Dictation& d) {
         d.send(end(1));
         d.deliver(RecognitionResult{"", true});
       },
       {partial(1, ""), final(1, "")}},
      {"error after end with text",
       [](Dictation& d) {
         d.deliver(RecognitionResult{"open", false});
         d.send(end(1));
         d.deliver(std::nullopt, "Network down");
       },
       {partial(1, "open"), final(1, "open")}},
      {"error after end without text",
       [](Dictation& d) {
         d.send(end(1));
         d.deliver(std::nullopt, "Network down");
       },
       {error(failed, 1)}},
      {"error before end",
       [](Dictation& d) {
         d.deliver(RecognitionResult{"open", false});
         d.deliver(std::nullopt, "Network down");
       },
       {partial(1, "open"), error(failed, 1)}},
      {"result and error in one call",
       [](Dictation& d) {
         d.send(end(1));
         d.deliver(RecognitionResult{"open", true}, "ignored");
       },
       {partial(1, "open"), final(1, "open")}},
      {"timer with text",
       [](Dictation& d) {
         d.deliver(RecognitionResult{"open", false});
         d.send(end(1));
         d.loop.advance(seconds(10));
       },
       {partial(1, "open"), final(1, "open")}},
      {"timer without text",
       [](Dictation& d) {
         d.send(end(1));
         d.loop.advance(seconds(10));
       },
       {error(msg::nothingRecognized, 1)}},
      {"cancel", [](Dictation& d) { d.send(R"({"op":"cancel"})"); }, {}},
      {"prepare", [](Dictation& d) { d.send(R"({"op":"prepare","locale":"en-US"})"); }, {readyEnglish}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictation d;
    d.open(1);
    auto* task = d.sim.currentTask();
    c.play(d);
    EXPECT_EQ(d.lines(), c.expected);
    // Late callbacks of the ended task, and the timer's time, bring nothing.
    if (d.sim.currentTask() == task) task->deliver(RecognitionResult{"late", true}, "late");
    d.loop.advance(seconds(20));
    EXPECT_EQ(d.lines(), Lines{});
  }
}

TEST(SpeechSession, ReusedNumberDoesNotLetTheCancelledTasksCallbacksThrough) {
  Dictation d;
  d.open(5);
  d.sim.currentTask()->deliver(RecognitionResult{"old", false}, {});  // already on its way to the main loop
  d.bridge.receive(*channel::parseObject(R"({"op":"cancel"})"));
  d.bridge.receive(*channel::parseObject(start(5)));
  d.loop.runReady();
  EXPECT_EQ(d.lines(), Lines{});
  d.deliver(RecognitionResult{"new", false});
  EXPECT_EQ(d.lines(), (Lines{partial(5, "new")}));
}

TEST(SpeechSession, RepeatedEndKeepsTheFirstTimer) {
  Dictation d;
  d.open(1);
  d.send(end(1));
  d.loop.advance(seconds(5));
  d.send(end(1));
  d.deliver(RecognitionResult{"hello", true});
  EXPECT_EQ(d.lines(), (Lines{partial(1, "hello"), final(1, "hello")}));
  // Neither timer of session 1 may end session 2.
  d.send(start(2));
  d.loop.advance(seconds(30));
  EXPECT_EQ(d.lines(), Lines{});

  Dictation settles;
  settles.open(1);
  settles.send(end(1));
  settles.loop.advance(seconds(6));
  settles.send(end(1));
  settles.loop.advance(seconds(4));
  EXPECT_EQ(settles.lines(), (Lines{error(msg::nothingRecognized, 1)})) << "10 s after the first end";
}

TEST(SpeechSession, TranscriptionIsCutTo8000Characters) {
  Dictation d;
  d.open(1);
  d.deliver(RecognitionResult{std::string(7999, 'a') + "e\xCC\x81" + "xyz", false});
  EXPECT_EQ(d.lines(), (Lines{partial(1, std::string(7999, 'a') + "e\xCC\x81")}));
}

TEST(SimRecognizer, TurnsSpeechIntoTheFixedPhrase) {
  Dictation d;
  d.sim.transcribes = true;
  d.open(1);
  for (int i = 0; i < 10; ++i) d.send(audio(1, false));
  for (int i = 0; i < 20; ++i) d.send(audio(1));
  d.send(end(1));
  EXPECT_EQ(d.lines(), (Lines{partial(1, "please"), partial(1, "please open"), partial(1, "please open"),
                              final(1, "please open")}));
}

}  // namespace
}  // namespace morvik::speech
