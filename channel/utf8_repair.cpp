#include "channel/utf8_repair.h"

#include <cstdint>

namespace morvik::channel {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Number of bytes of the longest valid prefix of a sequence starting at
// `at` (0 when the lead byte itself is invalid), and whether the sequence is complete.
struct Scan {
  std::size_t valid;
  bool complete;
};

Scan scanSequence(std::string_view s, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(s[at]);
  std::size_t length = 0;
  std::uint8_t lower = 0x80;
  std::uint8_t upper = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lower = 0xA0;  // no overlong forms
    if (lead == 0xED) upper = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lower = 0x90;
    if (lead == 0xF4) upper = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, false};
  }
  std::size_t i = 1;
  for (; i < length && at + i < s.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(s[at + i]);
    const std::uint8_t low = i == 1 ? lower : 0x80;
    const std::uint8_t high = i == 1 ? upper : 0xBF;
    if (byte < low || byte > high) return {i, false};
  }
  return {i, i == length};
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[at]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++at;
      continue;
    }
    const Scan scan = scanSequence(bytes, at);
    if (scan.complete) {
      out.append(bytes.substr(at, scan.valid));
      at += scan.valid;
    } else {
      out.append(replacement);
      at += scan.valid == 0 ? 1 : scan.valid;
    }
  }
  return out;
}

}  // namespace morvik::channel
