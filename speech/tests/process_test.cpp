// morvik-speech as the application drives it: the simulated recogniser
// always, and on Linux the real one with speech synthesised by flite.
#include <gtest/gtest.h>

#include <cstring>
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
// Pushes the samples in 20 ms chunks, as the application does.
void push(ChildProcess& helper, std::uint32_t session, const std::vector<std::int16_t>& samples) {
  std::string lines;
  for (std::size_t at = 0; at < samples.size(); at += 320) {
    channel::Bytes pcm;
    for (std::size_t i = at; i < std::min(samples.size(), at + 320); ++i)
      pcm.insert(pcm.end(), {static_cast<std::uint8_t>(samples[i]), static_cast<std::uint8_t>(samples[i] >> 8)});
    lines +=
        R"({"op":"audio","session":)" + std::to_string(session) + R"(,"pcm":")" + channel::encodeBase64(pcm) + "\"}\n";
  }
  helper.write(lines);
}

std::string field(const std::string& line, const char* key) {
  const auto object = channel::parseObject(line);
  return object ? channel::readString(*object, key).value_or("") : "";
}

// 16 kHz mono speech from flite's "slt" voice, made at test time.
std::vector<std::int16_t> synthesise(const std::string& sentence) {
  const auto flite = testing::runProcess("/usr/bin/flite", {"-voice", "slt", "-t", sentence, "-o", "/dev/stdout"});
  EXPECT_EQ(flite.exit.status, 0);
  const auto data = flite.output.find("data");
  if (data == std::string::npos) return {};
  std::vector<std::int16_t> samples((flite.output.size() - data - 8) / 2);
  std::memcpy(samples.data(), flite.output.data() + data + 8, samples.size() * 2);
  return samples;
}

TEST(SpeechLinux, DictatesSynthesisedSpeechInEnglishOnly) {
  const std::string sentence = "please open the settings and turn on the microphone";
  const auto samples = synthesise(sentence);
  ASSERT_GT(samples.size(), 16000u);
  ChildProcess helper(MORVIK_SPEECH_LINUX);
  helper.write(R"({"op":"prepare"})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"event":"error","message":"此语言的系统听写暂不可用，请检查系统听写与网络设置"})");
  helper.write(R"({"op":"prepare","locale":"en-US"})"
               "\n"
               R"({"op":"start","session":9})"
               "\n");
  EXPECT_EQ(helper.readLine(), R"({"event":"ready","locale":"en-US","offline":true})");
  push(helper, 9, samples);
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
