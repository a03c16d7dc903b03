#include "channel/json.h"

#include <cmath>

#include "channel/utf8_repair.h"

namespace morvik::channel {
namespace {

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

}  // namespace

std::optional<Json> parseRequest(std::string_view line, std::size_t limit) {
  // Repair never shortens text, so a line over the limit stays over it.
  if (line.size() > limit) return std::nullopt;
  const std::string text = repairUtf8(line);
  if (text.size() > limit) return std::nullopt;
  return parseObject(text);
}

std::optional<Json> parseObject(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> integralValue(const Json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^63 is exactly representable; every double below it in magnitude converts safely.
    constexpr double bound = 9223372036854775808.0;
    if (!std::isfinite(d) || std::trunc(d) != d || d < -bound || d >= bound) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::int64_t> readInteger(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  return integralValue(*value);
}

std::optional<std::string> readString(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> readBool(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<Bytes> readBytes(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  Bytes bytes;
  bytes.reserve(value->size());
  for (const Json& element : *value) {
    const auto byte = integralValue(element);
    if (!byte || *byte < 0 || *byte > 255) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*byte));
  }
  return bytes;
}

Json byteArray(const Bytes& bytes) {
  Json array = Json::array();
  for (const std::uint8_t byte : bytes) array.push_back(byte);
  return array;
}

}  // namespace morvik::channel
