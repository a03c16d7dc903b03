#pragma once

// CoreFoundation strings and UTF-8, for the darwin layers written in C++.

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channel/darwin/utf16.h"

namespace morvik::channel::darwin {

struct Released {
  void operator()(const void* object) const { CFRelease(object); }
};
using CFString = std::unique_ptr<const __CFString, Released>;

// None when the bytes are not UTF-8.
inline CFString makeCFString(std::string_view text) {
  return CFString(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                          static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

// The UTF-8 of a range of the string, all of it: CFStringGetBytes would stop
// at the first character it cannot encode (a lone surrogate), so the UTF-16
// code units are converted here, that one repaired to U+FFFD.
inline std::string utf8(CFStringRef string, CFRange range) {
  if (string == nullptr || range.length <= 0) return {};
  const UniChar* direct = CFStringGetCharactersPtr(string);
  if (direct != nullptr) {
    return utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(direct + range.location),
                                             static_cast<std::size_t>(range.length)));
  }
  std::vector<UniChar> units(static_cast<std::size_t>(range.length));
  CFStringGetCharacters(string, range, units.data());
  return utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size()));
}

// The whole string; a null string is the empty text.
inline std::string utf8(CFStringRef string) {
  return string != nullptr ? utf8(string, CFRangeMake(0, CFStringGetLength(string))) : std::string();
}

}  // namespace morvik::channel::darwin
