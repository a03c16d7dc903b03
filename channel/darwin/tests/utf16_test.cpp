#include <gtest/gtest.h>

#include "channel/darwin/utf16.h"

namespace morvik::channel::darwin {
namespace {

TEST(Utf16ToUtf8, ConvertsEveryUnitAndRepairsLoneSurrogates) {
  const struct {
    std::u16string units;
    std::string text;
  } cases[] = {
      {u"", ""},
      {u"Safari – 新标签页", "Safari – 新标签页"},
      {u"a\U0001F600b",
       "a\xF0\x9F\x98\x80"
       "b"},                                                             // a surrogate pair
      {u"x\xD83Dy", "x\xEF\xBF\xBDy"},                                   // lone high surrogate mid-text
      {u"x\xDE00y", "x\xEF\xBF\xBDy"},                                   // lone low surrogate
      {u"end\xD83D", "end\xEF\xBF\xBD"},                                 // high surrogate at the end
      {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},                     // reversed pair: two
      {std::u16string(u"nul\0after", 9), std::string("nul\0after", 9)},  // NUL is text
      {u"\x7F\x80\x7FF\x800\xFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8FromUtf16(c.units), c.text) << c.text;
}

}  // namespace
}  // namespace morvik::channel::darwin
