// Reading request lines: split, repaired and parsed; and the answers written.
#include "channel/json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/line_splitter.h"
#include "channel/output.h"
#include "channel/utf8_repair.h"

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

const std::string fffd = "\xEF\xBF\xBD";

TEST(Utf8Repair, ReplacesMaximalSubparts) {
  const struct {
    const char* name;
    std::string input, expected;
  } cases[] = {
      {"valid multibyte", "\xE4\xBD\xA0\xF0\x9F\x98\x80", "\xE4\xBD\xA0\xF0\x9F\x98\x80"},
      {"lone continuation", "a\x80z", "a" + fffd + "z"},
      {"truncated 3-byte at end", "a\xE4\xBD", "a" + fffd},
      {"overlong 2-byte", "\xC0\xAF", fffd + fffd},
      {"overlong 3-byte", "\xE0\x80\xAF", fffd + fffd + fffd},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"invalid lead F5", "\xF5" + std::string("a"), fffd + "a"},
      {"bad second byte", "\xE4" + std::string("a\xBD"), fffd + "a" + fffd},
  };
  for (const auto& c : cases) EXPECT_EQ(repairUtf8(c.input), c.expected) << c.name;
}

TEST(ParseRequest, AcceptsOnlyOneTopLevelObject) {
  const struct {
    const char* line;
    bool accepted;
  } cases[] = {
      {R"({"id":1,"op":"open"})", true},
      {R"(  {"a":[1,{"b":null}]}  )", true},
      {"{}", true},
      {"   ", false},
      {"null", false},
      {"true", false},
      {R"({"a":1} x)", false},
      {R"({"a":1)", false},
      {R"({'a':1})", false},
  };
  for (const auto& c : cases) EXPECT_EQ(parseRequest(c.line, 1024).has_value(), c.accepted) << c.line;
}

TEST(ParseRequest, RepairsInvalidUtf8BeforeTheLengthCheck) {
  const auto request = parseRequest("{\"s\":\"\xFF\"}", 1024);
  ASSERT_TRUE(request);
  EXPECT_EQ((*request)["s"], "\xEF\xBF\xBD");
  // 10 bytes raw, 12 once the bad byte becomes U+FFFD.
  const std::string line = "{\"s\":\"\xFF\"} ";
  EXPECT_TRUE(parseRequest(line, 12));
  EXPECT_FALSE(parseRequest(line, 11));
}

TEST(ReadInteger, AcceptsIntegralNumbersOnly) {
  const auto object = *parseObject(R"({"a":7,"b":-3,"c":2.0,"d":2.5,"e":true,"f":"1","g":null,
      "h":9223372036854775807,"i":9223372036854775808,"j":-9223372036854775808,"k":1e2,"l":-0.0})");
  const std::pair<const char*, std::int64_t> integers[] = {{"a", 7},         {"b", -3},  {"c", 2}, {"h", INT64_MAX},
                                                           {"j", INT64_MIN}, {"k", 100}, {"l", 0}};
  for (const auto& [key, value] : integers) EXPECT_EQ(readInteger(object, key), value) << key;
  for (const char* key : {"d", "e", "f", "g", "i", "missing"}) EXPECT_EQ(readInteger(object, key), std::nullopt) << key;
}

TEST(TypedReads, StringsBooleansAndBytes) {
  const auto object = *parseObject(R"({"s":"x","n":1,"t":true,"z":0,
      "bytes":[0,255,1.0],"big":[256],"neg":[-1],"frac":[1.5],"bool":[true],"str":["1"],"empty":[]})");
  EXPECT_EQ(readString(object, "s"), "x");
  EXPECT_EQ(readString(object, "n"), std::nullopt);
  EXPECT_EQ(readBool(object, "t"), true);
  EXPECT_EQ(readBool(object, "z"), std::nullopt);
  EXPECT_EQ(readBytes(object, "bytes"), (Bytes{0, 255, 1}));
  EXPECT_EQ(readBytes(object, "empty"), Bytes{});
  for (const char* bad : {"big", "neg", "frac", "bool", "str", "s", "missing"})
    EXPECT_EQ(readBytes(object, bad), std::nullopt) << bad;
}

TEST(Serialize, CompactUtf8AndNoRawLineFeed) {
  const Json object = {{"a", "line\nfeed"}, {"b", "键盘"}, {"c", Json::array({1, 2})}};
  EXPECT_EQ(serialize(object), R"({"a":"line\nfeed","b":"键盘","c":[1,2]})");
  EXPECT_EQ(serialize(Json{{"bad", std::string("\xFF")}}), "{\"bad\":\"\xEF\xBF\xBD\"}");
  EXPECT_EQ(serialize(Json{{"bytes", byteArray({0, 127, 255})}}), R"({"bytes":[0,127,255]})");
}

}  // namespace
}  // namespace morvik::channel
