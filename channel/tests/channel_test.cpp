// Reading request lines: split, repaired and parsed; the answers written; the
// strict base64 and UUID text inside them; the text functions; the loops.
#include "channel/json.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "channel/base64.h"
#include "channel/line_splitter.h"
#include "channel/main_loop.h"
#include "channel/manual_loop.h"
#include "channel/output.h"
#include "channel/text.h"
#include "channel/utf8_repair.h"
#include "channel/uuid.h"

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
TEST(LineSplitter, LinesCarriageReturnsAndTheLimitAcrossChunks) {
  EXPECT_EQ(split({"ab\ncd", "e\n", "f\n"}), (Lines{"ab", "cde", "f"}));
  EXPECT_EQ(split({"ab\r", "\n", "a\rb\n", "\n"}), (Lines{"ab", "a\rb", ""}));
  // The limit counts the line without its carriage return.
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

// Lines that are no single object are refused: through the echo helper.
TEST(ParseRequest, ObjectsWithSpaceAroundAndRepairedBeforeTheLengthCheck) {
  for (const char* line : {R"({"id":1,"op":"open"})", R"(  {"a":[1,{"b":null}]}  )", "{}"})
    EXPECT_TRUE(parseRequest(line, 1024)) << line;
  // Invalid UTF-8 is repaired before the length check.
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

// Compact, UTF-8 and no raw line feed: through the echo helper.
TEST(Serialize, RepairsAndWritesByteArrays) {
  EXPECT_EQ(serialize(Json{{"bad", std::string("\xFF")}}), "{\"bad\":\"\xEF\xBF\xBD\"}");
  EXPECT_EQ(serialize(Json{{"bytes", byteArray({0, 127, 255})}}), R"({"bytes":[0,127,255]})");
}

// A descriptor that another process made non-blocking fills up under a slow
// reader: the write waits instead of dropping the rest.
TEST(FdOutput, WaitsThroughAFullNonBlockingPipe) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  const std::string bytes(1 << 20, 'x');
  bool written = false;
  std::thread writer([&] {
    written = FdOutput(ends[1]).write(bytes);
    ::close(ends[1]);
  });
  std::string read;
  char buffer[4096];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) read.append(buffer, static_cast<std::size_t>(n));
  writer.join();
  ::close(ends[0]);
  EXPECT_TRUE(written);
  EXPECT_EQ(read.size(), bytes.size());
}

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encodeBase64(bytesOf(plain)), encoded);
    EXPECT_EQ(decodeBase64(encoded), bytesOf(plain)) << encoded;
  }
  EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Base64, RejectsAnythingNotStrict) {
  for (const char* bad :
       {"Zg", "Zg=", "Zm9", "Zg==Zg==", "Zm 9v", " Zm9v", "Zm9v\n", "Zm9v=", "Z===", "====", "-_-_", "Zm=v", "Zg=A"})
    EXPECT_EQ(decodeBase64(bad), std::nullopt) << bad;
  EXPECT_EQ(decodeBase64(std::string_view("Zm9v\0\0\0\0", 8)), std::nullopt);
}

TEST(UuidText, RejectsMalformedText) {
  for (const char* bad : {"", "7a8e1001", "7a8e10017d3b4c6a96a83d79199c7e21", "{7a8e1001-7d3b-4c6a-96a8-3d79199c7e21}",
                          "7a8e1001-7d3b-4c6a-96a8-3d79199c7e2g", "7a8e1001-7d3b-4c6a-96a8-3d79199c7e2",
                          "7a8e1001-7d3b-4c6a-96a8-3d79199c7e211", "7a8e1001x7d3b-4c6a-96a8-3d79199c7e21",
                          // Accepted by an sscanf-based parser: a sign or a space inside a group.
                          "+a8e1001-7d3b-4c6a-96a8-3d79199c7e21", "7a8e1001-7d3b-4c6a-96a8- d79199c7e21",
                          "7a8e1001-+d3b-4c6a-96a8-3d79199c7e21"})
    EXPECT_EQ(parseUuid(bad), std::nullopt) << bad;
  EXPECT_EQ(parseUuid(std::string_view("7a8e1001-7d3b-4c6a-96a8-3d79199c7e2\0", 36)), std::nullopt);
}

TEST(TruncateGraphemes, CountsUserPerceivedCharacters) {
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // one cluster
  const std::string eAcute = "e\xCC\x81";  // e + combining acute
  const struct {
    std::string text;
    std::size_t count;
    std::string expected;
  } cases[] = {
      {"abc", 2, "ab"},
      {"abc", 3, "abc"},
      {"abc", 9, "abc"},
      {"abc", 0, ""},
      {"", 4, ""},
      {eAcute + "x", 1, eAcute},
      {family + "x", 1, family},
      {"键盘设置", 2, "键盘"},
      {"a\r\nb", 2, "a\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(truncateGraphemes(c.text, c.count), c.expected) << c.text << " " << c.count;
}

TEST(CanonicallyEquivalent, ComparesAfterDecomposition) {
  EXPECT_TRUE(canonicallyEquivalent("caf\xC3\xA9", "cafe\xCC\x81"));
  EXPECT_TRUE(canonicallyEquivalent("", ""));
  EXPECT_FALSE(canonicallyEquivalent("cafe", "caf\xC3\xA9"));
  // Compatibility forms are not canonical: the "fi" ligature differs from "fi".
  EXPECT_FALSE(canonicallyEquivalent("\xEF\xAC\x81", "fi"));
}

using std::chrono::milliseconds;

// Tasks posted from another thread run in order; a one-shot timer runs once,
// an invalidated one never. The loop stops once both are through.
TEST(PlatformLoop, PostsFromOtherThreadsAndTimers) {
  auto loop = makePlatformLoop();
  std::vector<int> order;
  int once = 0, repeating = 0, cancelled = 0, through = 0;
  const auto finish = [&] {
    if (++through == 2) loop->stop();
  };
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop->post([&order, i] { order.push_back(i); });
    loop->post(finish);
  });
  auto dead = loop->schedule(milliseconds(1), false, [&] { ++cancelled; });
  dead->invalidate();
  std::unique_ptr<Timer> ticker, end;
  auto single = loop->schedule(milliseconds(2), false, [&] { ++once; });
  ticker = loop->schedule(milliseconds(1), true, [&] {
    if (++repeating < 3) return;
    ticker->invalidate();
    // Ends later than every deadline above, however late the ticks came.
    end = loop->schedule(milliseconds(20), false, finish);
  });
  loop->run();
  poster.join();
  std::vector<int> posted(100);
  std::iota(posted.begin(), posted.end(), 0);
  EXPECT_EQ(order, posted);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(repeating, 3);
  EXPECT_EQ(cancelled, 0);
}

// A tick slower than its interval (a snapshot against a hung application) must not make
// the test loop fire for ever: missed times are skipped and the clock never goes back.
TEST(ManualLoop, SlowRepeatingTickSkipsMissedTimes) {
  ManualLoop loop;
  int ticks = 0;
  auto timer = loop.schedule(milliseconds(600), true, [&] {
    ++ticks;
    loop.stall(milliseconds(1000));
  });
  loop.advance(milliseconds(2000));
  EXPECT_EQ(ticks, 2);  // at 0.6 s and 1.8 s
  EXPECT_EQ(loop.elapsed(), milliseconds(2800));
}

}  // namespace
}  // namespace morvik::channel
