#include "speech/linux/model_definition.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace morvik::speech::linux {
namespace {

// The layout PocketSphinx's binary writer gives the file, in its byte order:
// "BMDF", version, the length of a text description and the description,
// ten int32 counts, the phone names (each ended by a NUL, padded to four
// bytes), the context tree (int16 context, int16 children, int32 first child
// or phone), the phones (int32 senone sequence, int32 transition matrix, four
// bytes of context), the count of senone ids, the senone ids (int16) and,
// when phones differ in length, one length byte per sequence.
constexpr char marker[] = {'B', 'M', 'D', 'F'};
constexpr std::int64_t treeNode = 8;
constexpr std::int64_t phoneEntry = 12;
constexpr int wordPositions = 4;

class Reader {
 public:
  explicit Reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}
  bool has(std::int64_t at, std::int64_t length) const {
    return at >= 0 && length >= 0 && at <= size() && length <= size() - at;
  }
  std::int32_t int32(std::int64_t at) const { return read<std::int32_t>(at); }
  std::int16_t int16(std::int64_t at) const { return read<std::int16_t>(at); }
  unsigned char byte(std::int64_t at) const { return bytes_[static_cast<std::size_t>(at)]; }
  std::int64_t size() const { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  template <typename T>
  T read(std::int64_t at) const {
    T value;
    std::memcpy(&value, bytes_.data() + at, sizeof value);
    return value;
  }
  std::span<const unsigned char> bytes_;
};

struct Counts {
  std::int32_t ciphones, phones, emitStates, ciSenones, senones, matrices, sequences, contexts, treeNodes, silence;
};

}  // namespace

bool modelDefinitionHoldsTogether(std::span<const unsigned char> file) {
  const Reader in(file);
  if (!in.has(0, 4) || std::memcmp(file.data(), marker, 4) != 0) return true;  // text, or the other byte order
  if (!in.has(4, 8) || in.int32(4) > 1 || in.int32(8) < 0) return false;
  std::int64_t at = 12 + std::int64_t{in.int32(8)};
  if (!in.has(at, 40)) return false;
  Counts n{};
  std::memcpy(&n, file.data() + at, sizeof n);
  at += 40;
  // Senone ids are int16 and a phone names its contexts in single bytes.
  if (n.ciphones < 1 || n.ciphones > 255 || n.phones < n.ciphones || n.emitStates < 0 || n.ciSenones < 0 ||
      n.senones < n.ciSenones || n.senones > INT16_MAX || n.matrices < 0 || n.sequences < 1 || n.treeNodes < 0) {
    return false;
  }
  const std::int64_t names = at;
  for (std::int32_t i = 0; i < n.ciphones; ++i) {
    while (in.has(at, 1) && in.byte(at) != 0) ++at;
    if (!in.has(at++, 1)) return false;
  }
  const std::int64_t tree = names + ((at - names + 3) & ~std::int64_t{3});
  const std::int64_t phones = tree + treeNode * n.treeNodes;
  const std::int64_t sequenceCount = phones + phoneEntry * n.phones;
  if (!in.has(tree, sequenceCount + 4 - tree)) return false;
  const std::int32_t ids = in.int32(sequenceCount);
  const std::int64_t sequences = sequenceCount + 4;
  const std::int64_t lengths = sequences + 2 * std::int64_t{ids};
  const std::int64_t end = lengths + (n.emitStates == 0 ? n.sequences : 0);
  if (ids < 0 || end != in.size()) return false;
  if (n.emitStates != 0 && ids != std::int64_t{n.sequences} * n.emitStates) return false;
  if (n.emitStates == 0) {
    std::int64_t total = 0;
    for (std::int32_t i = 0; i < n.sequences; ++i) {
      const auto length = static_cast<std::int8_t>(in.byte(lengths + i));
      if (length < 0) return false;
      total += length;
    }
    if (total != ids) return false;
  }

  for (std::int64_t i = 0; i < n.treeNodes; ++i) {
    const std::int16_t children = in.int16(tree + treeNode * i + 2);
    const std::int32_t next = in.int32(tree + treeNode * i + 4);
    // A leaf names its phone, or -1 where the context has none.
    const bool holds = children > 0 ? next >= 0 && std::int64_t{next} + children <= n.treeNodes
                                    : children == 0 && next >= -1 && next < n.phones;
    if (!holds) return false;
  }
  for (std::int64_t i = 0; i < n.phones; ++i) {
    const std::int64_t entry = phones + phoneEntry * i;
    const std::int32_t sequence = in.int32(entry);
    const std::int32_t matrix = in.int32(entry + 4);
    if (sequence < 0 || sequence >= n.sequences || matrix < 0 || matrix >= n.matrices) return false;
    if (i >= n.ciphones) {
      if (in.byte(entry + 8) >= wordPositions) return false;
      for (int c = 1; c <= 3; ++c) {
        if (in.byte(entry + 8 + c) >= n.ciphones) return false;
      }
    }
  }
  for (std::int64_t i = 0; i < ids; ++i) {
    const std::int16_t senone = in.int16(sequences + 2 * i);
    if (senone < 0 || senone >= n.senones) return false;
  }
  return true;
}

bool modelDefinitionHoldsTogether(const std::filesystem::path& file) {
  // The packaged one is 3 MB; PocketSphinx would read a larger one whole, too.
  constexpr std::uintmax_t largest = 128u << 20;
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size > largest) return false;
  std::vector<unsigned char> bytes(size);
  std::ifstream in(file, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  return in && in.gcount() == static_cast<std::streamsize>(size) && in.peek() == std::ifstream::traits_type::eof() &&
         modelDefinitionHoldsTogether(std::span<const unsigned char>(bytes));
}

}  // namespace morvik::speech::linux
