// On macOS: the conversion of CoreFoundation's own strings.
#include <gtest/gtest.h>

#include "channel/darwin/cf_string.h"

namespace morvik::channel::darwin {
namespace {

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

}  // namespace
}  // namespace morvik::channel::darwin
