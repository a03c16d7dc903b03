#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvik::channel {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  auto operator<=>(const Uuid&) const = default;
};

// Parses the 36-character 8-4-4-4-12 form, digits in either case.
std::optional<Uuid> parseUuid(std::string_view text);
// The canonical text: upper-case digits, 8-4-4-4-12.
std::string uuidText(const Uuid& uuid);

}  // namespace morvik::channel
