#include "channel/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvik::channel {
namespace {

std::vector<std::string> split(const std::vector<std::string>& chunks, std::size_t limit = 8) {
  std::vector<std::string> lines;
  LineSplitter splitter(limit, [&](std::string_view line) { lines.emplace_back(line); });
  for (const auto& chunk : chunks) splitter.feed(chunk);
  splitter.finish();
  return lines;
}

using Lines = std::vector<std::string>;

// Whole-line rules (limits, CRLF, the last line) are tested through the echo
// helper; these are the chunk boundaries a process test cannot choose.
TEST(LineSplitter, LinesAndCarriageReturnsAcrossChunks) {
  EXPECT_EQ(split({"ab\ncd", "e\n", "f\n"}), (Lines{"ab", "cde", "f"}));
  EXPECT_EQ(split({"ab\r", "\n", "a\rb\n", "\n"}), (Lines{"ab", "a\rb", ""}));
}

TEST(LineSplitter, LimitCountsTheLineWithoutItsCarriageReturn) {
  EXPECT_EQ(split({"12345678\r", "\n"}), (Lines{"12345678"}));
  EXPECT_EQ(split({"1234", "5678", "9", "\nok\n"}), (Lines{"ok"}));
  EXPECT_EQ(split({"12345678\r\r\nok"}), (Lines{"ok"}));
}

}  // namespace
}  // namespace morvik::channel
