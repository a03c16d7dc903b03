#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvik::channel {

// The first `count` user-perceived characters (extended grapheme clusters)
// of UTF-8 text; the whole text when it is shorter.
std::string truncateGraphemes(std::string_view text, std::size_t count);

// Whether two UTF-8 texts are canonically equivalent (equal after NFD).
bool canonicallyEquivalent(std::string_view a, std::string_view b);

}  // namespace morvik::channel
