#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "channel/json.h"

namespace morvik::speech {

// One "pcm" chunk as float samples: at most 1024 characters of strict
// base64 that decode to 2 to 640 bytes, an even count, of 16-bit signed
// little-endian samples; each sample v becomes v / 32768. Anything else is
// no chunk.
std::optional<std::vector<float>> decodeAudioChunk(std::string_view pcm);

// The request's "session": a JSON number whose value is exactly an unsigned
// 32-bit integer; anything else is none.
std::optional<std::uint32_t> sessionNumber(const channel::Json& request);

}  // namespace morvik::speech
