// morvik-speech as the application drives it: the simulated recogniser
// always, and on Linux the real one with speech synthesised by flite.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "channel/base64.h"
#include "channel/json.h"
#include "testsupport/process.h"

namespace morvik::speech {
namespace {

using testing::ChildProcess;
using Lines = std::vector<std::string>;

TEST(SpeechProcess, LineLimitAndEndOfInputDuringASession) {
  // A prepare padded to exactly 4096 bytes is read; one of 4097 is dropped.
  const auto padded = [](std::size_t bytes) {
    const std::string head = R"({"op":"prepare","locale":"en-US","pad":")";
    return head + std::string(bytes - head.size() - 2, 'x') + "\"}\n";
  };
  const auto run = testing::runProcess(MORVIK_SPEECH_SIM, {},
                                       padded(4097) + "[1]\n\n" + padded(4096) +
                                           R"({"op":"start","session":1})"
                                           "\n");
  EXPECT_EQ(run.output, "{\"event\":\"ready\",\"locale\":\"en-US\",\"offline\":true}\n")
      << "the open session is cancelled at end of input, silently";
  EXPECT_EQ(run.exit.status, 0);
}

#ifdef MORVIK_SPEECH_LINUX
std::string field(const std::string& line, const char* key) {
  const auto object = channel::parseObject(line);
  return object ? channel::readString(*object, key).value_or("") : "";
}

// 16 kHz mono speech from flite's "slt" voice, made at test time: the
// 16-bit samples after its WAV header, as "audio" lines of 20 ms each.
std::string synthesisedAudio(std::uint32_t session, const std::string& sentence) {
  const auto flite = testing::runProcess("/usr/bin/flite", {"-voice", "slt", "-t", sentence, "-o", "/dev/stdout"});
  EXPECT_EQ(flite.exit.status, 0);
  const auto data = flite.output.find("data");
  if (data == std::string::npos) return {};
  std::string lines;
  for (auto at = flite.output.begin() + static_cast<std::ptrdiff_t>(data) + 8; at < flite.output.end(); at += 640) {
    const channel::Bytes pcm(at, std::min(at + 640, flite.output.end()));
    lines +=
        R"({"op":"audio","session":)" + std::to_string(session) + R"(,"pcm":")" + channel::encodeBase64(pcm) + "\"}\n";
  }
  return lines;
}

TEST(SpeechLinux, DictatesSynthesisedSpeechInEnglishOnly) {
  const std::string sentence = "please open the settings and turn on the microphone";
  const std::string audio = synthesisedAudio(9, sentence);
  ASSERT_GT(std::count(audio.begin(), audio.end(), '\n'), 50) << "a second of speech at least";
  ChildProcess helper(MORVIK_SPEECH_LINUX);
  helper.write(R"({"op":"prepare"})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"event":"error","message":"此语言的系统听写暂不可用，请检查系统听写与网络设置"})");
  helper.write(R"({"op":"prepare","locale":"en-US"})"
               "\n"
               R"({"op":"start","session":9})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"event":"ready","locale":"en-US","offline":true})");
  helper.write(audio);
  helper.write(R"({"op":"end","session":9})"
               "\n");
  std::string finalText;
  std::vector<std::string> partials;
  while (auto line = helper.readLine(std::chrono::seconds(30))) {
    if (line->starts_with(R"({"event":"partial","session":9)")) {
      EXPECT_TRUE(partials.empty() || partials.back() != field(*line, "text")) << "a partial that says nothing new";
      partials.push_back(field(*line, "text"));
    }
    if (!line->starts_with(R"({"event":"final","session":9)")) continue;
    finalText = field(*line, "text");
    break;
  }
  EXPECT_GT(partials.size(), 1u);
  // Word error threshold: at most two of the nine words missed.
  std::istringstream expected(sentence);
  int missed = 0;
  for (std::string word; expected >> word;)
    missed += (" " + finalText + " ").find(" " + word + " ") == std::string::npos;
  EXPECT_LE(missed, 2) << finalText;
  EXPECT_EQ(helper.wait().status, 0);
  EXPECT_EQ(helper.errorOutput(), "");
}

#endif

}  // namespace
}  // namespace morvik::speech
