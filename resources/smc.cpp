#include "resources/smc.h"

#include <cmath>
#include <cstring>
#include <string>

#include "resources/gauges.h"

namespace morvik::resources {

std::uint32_t SmcBlock::load32(std::size_t at) const {
  return static_cast<std::uint32_t>(raw[at]) | static_cast<std::uint32_t>(raw[at + 1]) << 8 |
         static_cast<std::uint32_t>(raw[at + 2]) << 16 | static_cast<std::uint32_t>(raw[at + 3]) << 24;
}

void SmcBlock::store32(std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) raw[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void SmcBlock::setKey(std::string_view key) { store32(0, fourCharCode(key)); }

std::optional<double> decodeSmcValue(std::uint32_t type, std::uint32_t size, const std::uint8_t* bytes) {
  const auto bigEndian16 = [&] { return static_cast<unsigned>(bytes[0]) << 8 | bytes[1]; };
  if (type == fourCharCode("ui8 ") && size == 1) return bytes[0];
  if (type == fourCharCode("ui16") && size == 2) return bigEndian16();
  if (type == fourCharCode("fpe2") && size == 2) return bigEndian16() / 4.0;
  if (type == fourCharCode("flt ") && size == 4) {
    const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  return std::nullopt;
}

namespace {

bool read(SmcTransport& smc, SmcBlock& input, SmcBlock& output, std::uint8_t command) {
  input.setCommand(command);
  output = SmcBlock{};
  std::size_t outputSize = SmcBlock::size;
  return smc.call(input, output, outputSize) && outputSize == SmcBlock::size && output.result() == 0;
}

constexpr std::size_t largestValue = 32;
constexpr int mostFans = 16;

}  // namespace

std::optional<double> smcValue(SmcTransport& smc, std::string_view key) {
  SmcBlock input, output;
  input.setKey(key);
  if (!read(smc, input, output, SmcBlock::readKeyInfo)) return std::nullopt;
  const std::uint32_t size = output.dataSize();
  const std::uint32_t type = output.dataType();
  if (size < 1 || size > largestValue) return std::nullopt;
  input.setDataSize(size);
  if (!read(smc, input, output, SmcBlock::readBytes)) return std::nullopt;
  return decodeSmcValue(type, size, output.bytes());
}

std::optional<double> maximumFanRPM(SmcTransport& smc) {
  const auto fans = smcValue(smc, "FNum");
  if (!fans || !std::isfinite(*fans) || *fans < 1 || *fans > mostFans) return std::nullopt;
  std::vector<double> readings;
  for (int i = 0; i < static_cast<int>(*fans); ++i) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const std::string key = std::string("F") + hex[i] + "Ac";
    if (const auto reading = smcValue(smc, key)) readings.push_back(*reading);
  }
  return highestFanSpeed(readings);
}

}  // namespace morvik::resources
