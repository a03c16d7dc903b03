#pragma once

// CoreFoundation strings and UTF-8, for the darwin layers written in C++.

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <string_view>

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

inline std::string utf8(CFStringRef string, CFRange range) {
  CFIndex bytes = 0;
  CFStringGetBytes(string, range, kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  CFStringGetBytes(string, range, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(text.data()), bytes,
                   nullptr);
  return text;
}

inline std::string utf8(CFStringRef string) { return utf8(string, CFRangeMake(0, CFStringGetLength(string))); }

}  // namespace morvik::channel::darwin
