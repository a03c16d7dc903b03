// The text functions on macOS, through CoreFoundation: composed character
// sequences for the cuts and canonical decomposition for the comparison, so
// that a macOS helper links the system alone.
#include <CoreFoundation/CoreFoundation.h>

#include <memory>

#include "channel/darwin/cf_string.h"
#include "channel/text.h"
#include "channel/utf8_repair.h"

namespace morvik::channel {
namespace {

using darwin::makeCFString;
using darwin::utf8;
using MutableString = std::unique_ptr<__CFString, darwin::Released>;

std::string decomposed(std::string_view text) {
  const darwin::CFString string = makeCFString(repairUtf8(text));
  if (!string) return std::string(text);
  MutableString copy(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
  CFStringNormalize(copy.get(), kCFStringNormalizationFormD);
  return utf8(copy.get());
}

}  // namespace

std::string truncateGraphemes(std::string_view text, std::size_t count) {
  const std::string valid = repairUtf8(text);
  const darwin::CFString string = makeCFString(valid);
  if (!string) return valid;
  const CFIndex length = CFStringGetLength(string.get());
  CFIndex end = 0;
  for (std::size_t taken = 0; taken < count && end < length; ++taken) {
    const CFRange character = CFStringGetRangeOfComposedCharactersAtIndex(string.get(), end);
    end = character.location + character.length;
  }
  if (end >= length) return valid;
  return utf8(string.get(), CFRangeMake(0, end));
}

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return decomposed(a) == decomposed(b);
}

}  // namespace morvik::channel
