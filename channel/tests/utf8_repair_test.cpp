#include "channel/utf8_repair.h"

#include <gtest/gtest.h>

namespace morvik::channel {
namespace {

const std::string fffd = "\xEF\xBF\xBD";

struct RepairCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(Utf8Repair, ReplacesMaximalSubparts) {
  const RepairCase cases[] = {
      {"ascii", "hello", "hello"},
      {"valid multibyte", "\xE4\xBD\xA0\xF0\x9F\x98\x80", "\xE4\xBD\xA0\xF0\x9F\x98\x80"},
      {"lone continuation", "a\x80z", "a" + fffd + "z"},
      {"two continuations", "\x80\x80", fffd + fffd},
      {"truncated 3-byte at end", "a\xE4\xBD", "a" + fffd},
      {"truncated 3-byte mid", "\xE4\xBD" + std::string("b"), fffd + "b"},
      {"truncated 4-byte", "\xF0\x9F\x98" + std::string("x"), fffd + "x"},
      {"overlong 2-byte", "\xC0\xAF", fffd + fffd},
      {"overlong 3-byte", "\xE0\x80\xAF", fffd + fffd + fffd},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"invalid lead F5", "\xF5" + std::string("a"), fffd + "a"},
      {"FF byte", "\xFF", fffd},
      {"bad second byte", "\xE4" + std::string("a\xBD"), fffd + "a" + fffd},
  };
  for (const auto& c : cases) EXPECT_EQ(repairUtf8(c.input), c.expected) << c.name;
}

}  // namespace
}  // namespace morvik::channel
