#include "speech/audio_chunk.h"

#include "channel/base64.h"

namespace morvik::speech {
namespace {

constexpr std::size_t longestText = 1024;
constexpr std::size_t largestChunk = 640;  // 320 samples, 20 ms at 16 kHz

}  // namespace

std::optional<std::vector<float>> decodeAudioChunk(std::string_view pcm) {
  if (pcm.size() > longestText) return std::nullopt;
  const auto bytes = channel::decodeBase64(pcm);
  if (!bytes || bytes->empty() || bytes->size() > largestChunk || bytes->size() % 2 != 0) return std::nullopt;
  std::vector<float> samples(bytes->size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto value = static_cast<std::int16_t>((*bytes)[2 * i] | (*bytes)[2 * i + 1] << 8);
    samples[i] = static_cast<float>(value) / 32768.0f;
  }
  return samples;
}

std::optional<std::uint32_t> sessionNumber(const channel::Json& request) {
  const auto number = channel::readInteger(request, "session");
  if (!number || *number < 0 || *number > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

}  // namespace morvik::speech
