#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "channel/json.h"

namespace morvik::channel {

// Strict RFC 4648 base64 with the standard alphabet: padding is required, no
// whitespace or other character is skipped, and the empty text decodes to no
// bytes. Pad bits are not checked, as the platform's decoder does not.
std::optional<Bytes> decodeBase64(std::string_view text);
std::string encodeBase64(const Bytes& bytes);

}  // namespace morvik::channel
