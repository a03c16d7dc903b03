#include "resources/smc.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace morvik::resources {
namespace {

TEST(SmcBlock, LayoutOfTheParameterBlock) {
  SmcBlock block;
  block.setKey("FNum");
  block.setDataSize(2);
  block.setDataType(fourCharCode("fpe2"));
  block.setCommand(SmcBlock::readBytes);
  block.bytes()[0] = 0xAB;
  EXPECT_EQ(SmcBlock::size, 80u);
  // The key as a little-endian integer whose most significant byte is 'F'.
  EXPECT_EQ((std::vector<std::uint8_t>(block.raw.begin(), block.raw.begin() + 4)),
            (std::vector<std::uint8_t>{'m', 'u', 'N', 'F'}));
  EXPECT_EQ(block.raw[28], 2);
  EXPECT_EQ((std::vector<std::uint8_t>(block.raw.begin() + 32, block.raw.begin() + 36)),
            (std::vector<std::uint8_t>{'2', 'e', 'p', 'f'}));
  EXPECT_EQ(block.raw[42], 5);
  EXPECT_EQ(block.raw[48], 0xAB);
}

// An SMC with a table of keys, answering as the kernel service does.
class FakeSmc final : public SmcTransport {
 public:
  struct Key {
    std::string type;
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
  };
  std::map<std::string, Key> keys;
  std::size_t outputSize = SmcBlock::size;
  std::uint8_t result = 0;
  std::vector<std::string> asked;

  bool call(const SmcBlock& input, SmcBlock& output, std::size_t& size) override {
    EXPECT_EQ(size, SmcBlock::size);
    std::string key;
    for (int shift = 24; shift >= 0; shift -= 8) key += static_cast<char>(input.key() >> shift);
    asked.push_back(key + ":" + std::to_string(input.command()));
    size = outputSize;
    const auto found = keys.find(key);
    if (found == keys.end()) {
      output.setResult(0x84);  // key not found
      return true;
    }
    output.setResult(result);
    if (input.command() == SmcBlock::readKeyInfo) {
      output.setDataSize(found->second.size);
      output.setDataType(fourCharCode(found->second.type));
    } else {
      EXPECT_EQ(input.dataSize(), found->second.size);
      std::copy(found->second.bytes.begin(), found->second.bytes.end(), output.bytes());
    }
    return true;
  }
};

FakeSmc::Key fpe2(unsigned rpm) {
  const unsigned raw = rpm * 4;
  return {"fpe2", 2, {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)}};
}

FakeSmc::Key ui8(std::uint8_t value) { return {"ui8 ", 1, {value}}; }

TEST(MaximumFanRPM, FanCountAndReadings) {
  const struct {
    const char* name;
    FakeSmc::Key count;
    std::vector<FakeSmc::Key> fans;
    std::optional<double> expected;
  } cases[] = {
      {"no fans", ui8(0), {fpe2(1200)}, std::nullopt},
      {"seventeen fans", ui8(17), {fpe2(1200)}, std::nullopt},
      {"fan count of another type", {"flt ", 4, {0x00, 0x00, 0x00, 0x40}}, {fpe2(1200), fpe2(2400)}, 2400.0},  // 2.0f
      {"lone 65535", ui8(1), {{"ui16", 2, {0xFF, 0xFF}}}, std::nullopt},
      {"65535 beside a real one", ui8(2), {{"ui16", 2, {0xFF, 0xFF}}, {"ui16", 2, {0x03, 0x84}}}, 900.0},
      {"zero is a reading", ui8(1), {{"ui16", 2, {0, 0}}}, 0.0},
      {"quarters", ui8(1), {{"fpe2", 2, {0x1C, 0x23}}}, 1800.75},
      {"float", ui8(1), {{"flt ", 4, {0x00, 0x00, 0x96, 0x44}}}, 1200.0},
      {"NaN", ui8(1), {{"flt ", 4, {0x00, 0x00, 0xC0, 0x7F}}}, std::nullopt},
      {"negative", ui8(1), {{"flt ", 4, {0x00, 0x00, 0x80, 0xBF}}}, std::nullopt},
  };
  for (const auto& c : cases) {
    FakeSmc smc;
    smc.keys["FNum"] = c.count;
    for (std::size_t i = 0; i < c.fans.size(); ++i) smc.keys["F" + std::to_string(i) + "Ac"] = c.fans[i];
    EXPECT_EQ(maximumFanRPM(smc), c.expected) << c.name;
  }
}

TEST(MaximumFanRPM, KeysInUpperCaseHexadecimal) {
  FakeSmc smc;
  smc.keys = {{"FNum", ui8(16)}, {"FAAc", fpe2(3000)}, {"FFAc", fpe2(100)}, {"F9Ac", fpe2(200)}};
  EXPECT_EQ(maximumFanRPM(smc), 3000.0);
  EXPECT_EQ(smc.asked.back(), "FFAc:5");
  EXPECT_EQ(smc.asked.size(), 2u + 2 * 3 + 13);  // FNum twice, three fans twice, thirteen missing once
}

TEST(SmcValueOfKey, FailuresGiveNothing) {
  const struct {
    const char* name;
    FakeSmc::Key key;
    std::size_t outputSize;
    std::uint8_t result;
  } cases[] = {
      {"data size 0", {"ui8 ", 0, {}}, 80, 0},
      {"data size 33", {"ui8 ", 33, {}}, 80, 0},
      {"short output", {"ui8 ", 1, {1}}, 79, 0},
      {"result byte set", {"ui8 ", 1, {1}}, 80, 1},
      {"fpe2 of 4 bytes", {"fpe2", 4, {0x1C, 0x20}}, 80, 0},
      {"ui16 of 1 byte", {"ui16", 1, {0x09}}, 80, 0},
      {"ui8 of 2 bytes", {"ui8 ", 2, {0x01, 0x02}}, 80, 0},
      {"flt of 2 bytes", {"flt ", 2, {0x00, 0x00}}, 80, 0},
      {"unknown type", {"si16", 2, {0x00, 0x01}}, 80, 0},
  };
  for (const auto& c : cases) {
    FakeSmc smc;
    smc.keys = {{"TEST", c.key}};
    smc.outputSize = c.outputSize;
    smc.result = c.result;
    EXPECT_EQ(smcValue(smc, "TEST"), std::nullopt) << c.name;
  }
  FakeSmc working;
  working.keys = {{"TEST", ui8(7)}};
  EXPECT_EQ(smcValue(working, "TEST"), 7.0);
  EXPECT_EQ(working.asked, (std::vector<std::string>{"TEST:9", "TEST:5"}));
}

}  // namespace
}  // namespace morvik::resources
