// The demo as a newcomer runs it: every helper answers the application, and
// the dictated text holds most words of what the keyboard's microphone heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "testsupport/process.h"

namespace morvik {
namespace {

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), {}};
}

TEST(Demo, EveryHelperAnswersAndTheSentenceIsDictated) {
  const auto out = std::filesystem::path(::testing::TempDir()) / "demo";
  const auto run = testing::runProcess(MORVIK_DEMO_APP, {MORVIK_SIM_HELPERS, MORVIK_LINUX_HELPERS, out.string()});
  ASSERT_EQ(run.exit.status, 0) << run.output << run.errors;
  const std::string& output = run.output;
  for (const char* answer : {
           "\n  morvik-permissions -> {\"bluetooth\":\"",
           "\n  morvik-resources -> {\"gpu\":",
           "\n  morvik-app-icon -> ",
           "\n  morvik-context -> {\"hasWindow\":",
           "\n  morvik-ble -> {\"id\":1,\"result\":{\"deviceId\":\"0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405\","
           "\"name\":\"Morvik Pro\",\"audioSupported\":true,\"maxChunk\":48}}\n",
           "\n  morvik-ble -> {\"id\":4,\"result\":[165,1,0,4,16,32,48,64]}\n",
           "\n  morvik-ble -> {\"event\":\"voice\",\"data\":[",
           "\n  morvik-speech -> {\"event\":\"ready\",\"locale\":\"en-US\",\"offline\":true}\n",
           "\n  morvik-virtual-mic -> {\"event\":\"final\",\"session\":1,\"text\":\"\"}\n",
           "\n  morvik-ble -> {\"id\":7,\"result\":true}\n",
           "\n  morvik-ble: input closed, exit status 0\n",
           "\n  morvik-speech: input closed, exit status 0\n",
           "\n  morvik-virtual-mic: input closed, exit status 0\n",
       })
    EXPECT_NE(output.find(answer), std::string::npos) << answer << "\nin:\n" << output;
  const auto check = output.find("\n  app -> morvik-context  {\"scope\":\"app\"");
  EXPECT_NE(output.find("\n  morvik-context -> {\"", check), std::string::npos) << "the save check's answer";

  std::ifstream icon(out / "morvik-app-icon.png", std::ios::binary);
  std::string png((std::istreambuf_iterator<char>(icon)), {});
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));

  const std::string finalLine = "\n  morvik-speech -> {\"event\":\"final\",\"session\":1,\"text\":\"";
  const auto at = output.find(finalLine);
  ASSERT_NE(at, std::string::npos) << output;
  const auto start = at + finalLine.size();
  const auto dictated = words(output.substr(start, output.find('"', start) - start));
  const auto sentence = words(MORVIK_KEYBOARD_SENTENCE);
  std::size_t found = 0;
  for (const auto& word : sentence) found += std::find(dictated.begin(), dictated.end(), word) != dictated.end();
  EXPECT_GE(found * 3, sentence.size() * 2) << "dictated: " << output.substr(start, 200);
}

}  // namespace
}  // namespace morvik
