#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace morvik::channel {

// Objects keep their keys in insertion order, so output reads as it was built.
using Json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;

// One input line as a request: repairs invalid UTF-8, then accepts the line
// only if it is at most `limit` bytes and holds exactly one JSON object.
std::optional<Json> parseRequest(std::string_view line, std::size_t limit);

// Parses text that must be exactly one JSON object (nothing before or after).
std::optional<Json> parseObject(std::string_view text);

// Typed reads of one key of an object. Each gives nothing when the key is
// absent or holds another type.
// An integral number: a number with an exact integral value in the signed
// 64-bit range ("2.0" counts, true does not).
std::optional<std::int64_t> readInteger(const Json& object, std::string_view key);
std::optional<std::string> readString(const Json& object, std::string_view key);
std::optional<bool> readBool(const Json& object, std::string_view key);
// An array whose every element is an integral number from 0 to 255.
std::optional<Bytes> readBytes(const Json& object, std::string_view key);

// The same rule as readInteger for a value on its own.
std::optional<std::int64_t> integralValue(const Json& value);

// Bytes as a JSON array of integers 0..255.
Json byteArray(const Bytes& bytes);

}  // namespace morvik::channel
