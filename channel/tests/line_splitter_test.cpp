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

TEST(LineSplitter, SplitsAtLineFeedsAcrossChunks) {
  EXPECT_EQ(split({"ab\ncd", "e\n", "f\n"}), (Lines{"ab", "cde", "f"}));
  EXPECT_EQ(split({"a", "b", "", "c\n"}), (Lines{"abc"}));
}

TEST(LineSplitter, DropsCarriageReturnOnlyBeforeLineFeed) {
  EXPECT_EQ(split({"ab\r\n"}), (Lines{"ab"}));
  EXPECT_EQ(split({"ab\r", "\n"}), (Lines{"ab"}));
  EXPECT_EQ(split({"a\rb\n"}), (Lines{"a\rb"}));
}

TEST(LineSplitter, LastLineWithoutLineFeedIsALine) {
  EXPECT_EQ(split({"ab\ncd"}), (Lines{"ab", "cd"}));
  EXPECT_EQ(split({"ab\n"}), (Lines{"ab"}));
  EXPECT_EQ(split({""}), Lines{});
}

TEST(LineSplitter, EmptyLinesAreHandedOn) { EXPECT_EQ(split({"\n\r\n"}), (Lines{"", ""})); }

TEST(LineSplitter, LimitIsInclusiveAndLongerLinesAreSkipped) {
  EXPECT_EQ(split({"12345678\n"}), (Lines{"12345678"}));
  EXPECT_EQ(split({"12345678\r\n"}), (Lines{"12345678"}));
  EXPECT_EQ(split({"123456789\nok\n"}), (Lines{"ok"}));
  EXPECT_EQ(split({"1234", "5678", "9", "\nok\n"}), (Lines{"ok"}));
  EXPECT_EQ(split({"12345678\r\r\nok"}), (Lines{"ok"}));
  EXPECT_EQ(split({"123456789"}), Lines{});
}

TEST(LineSplitter, MemoryStaysBoundedOnAnEndlessLine) {
  std::vector<std::string> lines;
  LineSplitter splitter(8, [&](std::string_view line) { lines.emplace_back(line); });
  const std::string chunk(1 << 16, 'x');
  for (int i = 0; i < 64; ++i) splitter.feed(chunk);
  splitter.feed("\nafter\n");
  EXPECT_EQ(lines, (Lines{"after"}));
}

}  // namespace
}  // namespace morvik::channel
