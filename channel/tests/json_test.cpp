#include "channel/json.h"

#include <gtest/gtest.h>

#include "channel/output.h"

namespace morvik::channel {
namespace {

TEST(ParseRequest, AcceptsOnlyOneTopLevelObject) {
  const struct {
    const char* line;
    bool accepted;
  } cases[] = {
      {R"({"id":1,"op":"open"})", true},
      {R"(  {"a":[1,{"b":null}]}  )", true},
      {"{}", true},
      {"", false},
      {"   ", false},
      {"[1,2]", false},
      {"42", false},
      {R"("text")", false},
      {"null", false},
      {"true", false},
      {R"({"a":1}{"b":2})", false},
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
  EXPECT_EQ(readInteger(object, "a"), 7);
  EXPECT_EQ(readInteger(object, "b"), -3);
  EXPECT_EQ(readInteger(object, "c"), 2);
  EXPECT_EQ(readInteger(object, "d"), std::nullopt);
  EXPECT_EQ(readInteger(object, "e"), std::nullopt);
  EXPECT_EQ(readInteger(object, "f"), std::nullopt);
  EXPECT_EQ(readInteger(object, "g"), std::nullopt);
  EXPECT_EQ(readInteger(object, "h"), INT64_MAX);
  EXPECT_EQ(readInteger(object, "i"), std::nullopt);
  EXPECT_EQ(readInteger(object, "j"), INT64_MIN);
  EXPECT_EQ(readInteger(object, "k"), 100);
  EXPECT_EQ(readInteger(object, "l"), 0);
  EXPECT_EQ(readInteger(object, "missing"), std::nullopt);
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
