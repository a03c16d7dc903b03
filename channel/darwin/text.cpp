// The text functions on macOS, through CoreFoundation: composed character
// sequences for the cuts and canonical decomposition for the comparison, so
// that a macOS helper links the system alone.
#include <CoreFoundation/CoreFoundation.h>

#include <memory>

#include "channel/text.h"
#include "channel/utf8_repair.h"

namespace morvik::channel {
namespace {

struct Released {
  void operator()(const void* object) const { CFRelease(object); }
};
using String = std::unique_ptr<const __CFString, Released>;
using MutableString = std::unique_ptr<__CFString, Released>;

// Valid UTF-8 always makes a string.
String makeString(const std::string& valid) {
  return String(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(valid.data()),
                                        static_cast<CFIndex>(valid.size()), kCFStringEncodingUTF8, false));
}

std::string utf8Of(CFStringRef string, CFRange range) {
  CFIndex bytes = 0;
  CFStringGetBytes(string, range, kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  CFStringGetBytes(string, range, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(out.data()), bytes,
                   nullptr);
  return out;
}

std::string decomposed(std::string_view text) {
  const String string = makeString(repairUtf8(text));
  if (!string) return std::string(text);
  MutableString copy(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
  CFStringNormalize(copy.get(), kCFStringNormalizationFormD);
  return utf8Of(copy.get(), CFRangeMake(0, CFStringGetLength(copy.get())));
}

}  // namespace

std::string truncateGraphemes(std::string_view text, std::size_t count) {
  const std::string valid = repairUtf8(text);
  const String string = makeString(valid);
  if (!string) return valid;
  const CFIndex length = CFStringGetLength(string.get());
  CFIndex end = 0;
  for (std::size_t taken = 0; taken < count && end < length; ++taken) {
    const CFRange character = CFStringGetRangeOfComposedCharactersAtIndex(string.get(), end);
    end = character.location + character.length;
  }
  if (end >= length) return valid;
  return utf8Of(string.get(), CFRangeMake(0, end));
}

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return decomposed(a) == decomposed(b);
}

}  // namespace morvik::channel
