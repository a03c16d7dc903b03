#include "channel/text.h"

#include <gtest/gtest.h>

namespace morvik::channel {
namespace {

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

}  // namespace
}  // namespace morvik::channel
