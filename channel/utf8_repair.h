#pragma once

#include <string>
#include <string_view>

namespace morvik::channel {

// Replaces every maximal subpart of an ill-formed UTF-8 sequence with U+FFFD
// (the substitution the Unicode standard recommends, as WHATWG decoders do).
// Valid text comes back unchanged.
std::string repairUtf8(std::string_view bytes);

}  // namespace morvik::channel
