#pragma once

// NSString and UTF-8, for the darwin layers written in Objective-C++.
// NSString is toll-free bridged to CFString, so both take one conversion:
// UTF8String is not used, since it gives NULL for a string it cannot
// convert (and nil gives nil).

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

#include "channel/darwin/cf_string.h"
#include "channel/utf8_repair.h"

namespace morvik::channel::darwin {

// The whole string as UTF-8; nil is the empty text.
inline std::string utf8(NSString* _Nullable string) { return utf8((__bridge CFStringRef)string); }

// nil stays none.
inline std::optional<std::string> optionalUtf8(NSString* _Nullable string) {
  if (string == nil) return std::nullopt;
  return utf8(string);
}

// A string of UTF-8 text, never nil: ill-formed bytes are repaired to
// U+FFFD first (stringWithUTF8String: would give nil, which the frameworks'
// nonnull parameters do not take).
inline NSString* _Nonnull nsString(std::string_view text) {
  if (text.empty()) return @"";  // an empty view may hold no pointer at all
  NSString* string = [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
  if (string != nil) return string;
  const std::string repaired = repairUtf8(text);
  string = [[NSString alloc] initWithBytes:repaired.data() length:repaired.size() encoding:NSUTF8StringEncoding];
  return string != nil ? string : @"";
}

}  // namespace morvik::channel::darwin
