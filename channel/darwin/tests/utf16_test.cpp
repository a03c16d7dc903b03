#include <gtest/gtest.h>

#include "channel/darwin/utf16.h"
#ifdef __APPLE__
#include "channel/darwin/cf_string.h"
#endif

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

#ifdef __APPLE__
TEST(CFStringToUtf8, WholeStringRepairedAndNullIsEmpty) {
  EXPECT_EQ(utf8(CFStringRef{}), "");
  // A title holding a lone surrogate: CFStringGetBytes without a loss byte
  // stopped there.
  const UniChar units[] = {u'a', 0xD83D, u'b', 0xD83D, 0xDE00};
  const CFString title(CFStringCreateWithCharacters(kCFAllocatorDefault, units, 5));
  EXPECT_EQ(utf8(title.get()),
            "a\xEF\xBF\xBD"
            "b\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8(title.get(), CFRangeMake(2, 3)), "b\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8(makeCFString("Safari – 新标签页").get()), "Safari – 新标签页");
}
#endif

}  // namespace
}  // namespace morvik::channel::darwin
