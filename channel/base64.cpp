#include "channel/base64.h"

#include <array>

namespace morvik::channel {
namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int invalid = -1;

constexpr std::array<int, 256> makeDecodeTable() {
  std::array<int, 256> table{};
  for (auto& entry : table) entry = invalid;
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
  return table;
}
constexpr auto decodeTable = makeDecodeTable();

}  // namespace

std::optional<Bytes> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      int value = 0;
      if (i < digits) {
        value = decodeTable[static_cast<unsigned char>(text[at + i])];
        if (value == invalid) return std::nullopt;
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (digits > 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (digits > 3) bytes.push_back(static_cast<std::uint8_t>(group));
  }
  return bytes;
}

std::string encodeBase64(const Bytes& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[at]) << 16;
    if (count > 1) group |= static_cast<std::uint32_t>(bytes[at + 1]) << 8;
    if (count > 2) group |= bytes[at + 2];
    for (std::size_t i = 0; i < 4; ++i) {
      text.push_back(i <= count ? alphabet[(group >> (18 - 6 * i)) & 0x3F] : '=');
    }
  }
  return text;
}

}  // namespace morvik::channel
