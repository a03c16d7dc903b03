#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvik::channel {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  // Spelt out: the libc++ of macOS 12 has no three-way comparison of std::array.
  friend bool operator==(const Uuid& a, const Uuid& b) { return a.bytes == b.bytes; }
  friend bool operator!=(const Uuid& a, const Uuid& b) { return a.bytes != b.bytes; }
  friend bool operator<(const Uuid& a, const Uuid& b) { return a.bytes < b.bytes; }
};

// Parses the 36-character 8-4-4-4-12 form, digits in either case.
std::optional<Uuid> parseUuid(std::string_view text);
// The canonical text: upper-case digits, 8-4-4-4-12.
std::string uuidText(const Uuid& uuid);

}  // namespace morvik::channel
