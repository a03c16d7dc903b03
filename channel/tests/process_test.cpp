// The channel as the application sees it: the test-only echo helper runs
// the real reader, main loop and emit over pipes.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "testsupport/process.h"

namespace morvik::channel {
namespace {

std::vector<std::string> echo(std::string_view input) {
  const auto result = testing::runProcess(MORVIK_CHANNEL_ECHO, {}, input);
  EXPECT_EQ(result.exit.status, 0);
  EXPECT_EQ(result.errors, "");
  EXPECT_TRUE(result.output.empty() || result.output.back() == '\n') << "every line ends with a line feed";
  std::istringstream output(result.output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  return lines;
}

using Lines = std::vector<std::string>;

// {"s":"xxx…"} padded to `bytes` UTF-8 bytes with a three-byte character.
std::string objectOfBytes(std::size_t bytes) {
  const std::string head = "{\"s\":\"", tail = "\"}";
  std::string body;
  const std::size_t room = bytes - head.size() - tail.size();
  for (std::size_t i = 0; i < room / 3; ++i) body += "\xE9\x94\xAE";  // 键
  body += std::string(room % 3, 'a');
  return head + body + tail;
}

TEST(ChannelProcess, LinesAsTheyCome) {
  const std::string atLimit = objectOfBytes(1024), overLimit = objectOfBytes(1025);
  ASSERT_EQ(atLimit.size(), 1024u);
  // Every request before the end of the input is answered.
  std::string many;
  Lines answers;
  for (int i = 0; i < 5000; ++i) {
    answers.push_back("{\"id\":" + std::to_string(i) + "}");
    many += answers.back() + "\n";
  }
  const std::pair<std::string, Lines> cases[] = {
      {atLimit + "\n" + overLimit + "\n{\"next\":1}\n", {atLimit, "{\"next\":1}"}},  // the limit counts bytes
      {"\n   \n[1]\n42\n\"s\"\n{\"a\":1}{\"b\":2}\nnot json\n{\"ok\":true}\n", {R"({"ok":true})"}},
      {"{\"a\":1}\r\n{\"b\":2}\n", {R"({"a":1})", R"({"b":2})"}},
      {"{\"a\":1}\n{\"b\":2}", {R"({"a":1})", R"({"b":2})"}},  // the last line without its line feed
      {"{\"s\":\"a\\nb\"}\n", {R"({"s":"a\nb"})"}},            // written escaped
      {"{\"s\":\"\xC3\x28\"}\n", {"{\"s\":\"\xEF\xBF\xBD(\"}"}},
      {"", {}},
      {many, answers},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(echo(input), expected) << input.substr(0, 200);
}

long peakKiBStreaming(std::size_t totalBytes) {
  testing::ChildProcess child(MORVIK_CHANNEL_ECHO);
  std::thread feeder([&] {
    const std::string chunk(1 << 20, 'x');
    child.write("{\"before\":1}\n{\"s\":\"");
    for (std::size_t sent = 0; sent < totalBytes; sent += chunk.size()) child.write(chunk);
    child.write("\"}\n{\"after\":1}\n");
    child.closeInput();
  });
  const auto lines = child.readAllLines(std::chrono::minutes(5));
  feeder.join();
  const auto exit = child.wait();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(lines, (Lines{R"({"before":1})", R"({"after":1})"}));
  return exit.peakRssKiB;
}

TEST(ChannelProcess, EndlessLineKeepsMemoryBounded) {
  const long streamed = peakKiBStreaming(std::size_t{1} << 30);
#if MORVIK_SANITIZED
  // Sanitizer runtimes have a large footprint of their own: compare with a
  // short line instead, which still shows any buffering of the long one.
  const long baseline = peakKiBStreaming(1 << 20);
  EXPECT_LT(streamed - baseline, 8 * 1024) << "streamed " << streamed << " KiB, baseline " << baseline << " KiB";
#else
  EXPECT_LT(streamed, 32 * 1024) << "peak " << streamed << " KiB";
#endif
}

}  // namespace
}  // namespace morvik::channel
