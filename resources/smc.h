#pragma once

// The System Management Controller's parameter block and the fan figure
// read through it. The block is exchanged with the AppleSMC kernel service
// by selector 2; SmcTransport stands for that call.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvik::resources {

// 80 bytes, the same layout in and out; multi-byte fields little-endian
// (the Mac's own order) unless a type says otherwise.
class SmcBlock {
 public:
  static constexpr std::size_t size = 80;
  static constexpr std::uint8_t readKeyInfo = 9;
  static constexpr std::uint8_t readBytes = 5;

  // The four characters, first in the most significant byte.
  void setKey(std::string_view key);
  std::uint32_t key() const { return load32(0); }
  std::uint32_t dataSize() const { return load32(28); }
  void setDataSize(std::uint32_t bytes) { store32(28, bytes); }
  std::uint32_t dataType() const { return load32(32); }
  void setDataType(std::uint32_t type) { store32(32, type); }
  std::uint8_t result() const { return raw[40]; }
  void setResult(std::uint8_t result) { raw[40] = result; }
  std::uint8_t command() const { return raw[42]; }
  void setCommand(std::uint8_t command) { raw[42] = command; }
  const std::uint8_t* bytes() const { return raw.data() + 48; }
  std::uint8_t* bytes() { return raw.data() + 48; }

  std::array<std::uint8_t, size> raw{};

 private:
  std::uint32_t load32(std::size_t at) const;
  void store32(std::size_t at, std::uint32_t value);
};

// A four-character code as an integer, first character most significant.
constexpr std::uint32_t fourCharCode(std::string_view code) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<std::uint8_t>(i < code.size() ? code[i] : ' ');
  return value;
}

// Decodes the value bytes of a type: 'ui8 ', 'ui16' (big-endian), 'flt '
// (little-endian float), 'fpe2' (big-endian, two fraction bits). Another
// type, or a size that does not match it, gives nothing.
std::optional<double> decodeSmcValue(std::uint32_t type, std::uint32_t size, const std::uint8_t* bytes);

class SmcTransport {
 public:
  virtual ~SmcTransport() = default;
  // One call of selector 2: true when the call returned success and
  // `outputSize` is the size the service wrote.
  virtual bool call(const SmcBlock& input, SmcBlock& output, std::size_t& outputSize) = 0;
};

// The value of one key: key information first (command 9), then the bytes
// (command 5), each a success only with the whole block back and result 0.
std::optional<double> smcValue(SmcTransport& smc, std::string_view key);

// The highest current fan speed over the "FNum" fans (1 to 16), keys F0Ac
// to FFAc; readings of 65535 or more, negative or not finite are dropped.
std::optional<double> maximumFanRPM(SmcTransport& smc);

}  // namespace morvik::resources
