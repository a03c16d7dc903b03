#pragma once

// PocketSphinx reads a binary model definition ("mdef") without checking it:
// it takes the counts of the header on trust and carves the rest of the file
// by them, so a cut or damaged file makes it read past its buffer. Whether
// that crashes depends on what lies beyond, so the child that tries the model
// cannot be trusted to catch it. This checks the layout and every index the
// loader follows before PocketSphinx sees the file.

#include <filesystem>
#include <span>

namespace morvik::speech::linux {

// False for a binary model definition whose size or indices do not hold
// together, or one that cannot be read. A file that is not a native-order
// binary one (a text definition) is left to PocketSphinx: true.
bool modelDefinitionHoldsTogether(std::span<const unsigned char> file);
bool modelDefinitionHoldsTogether(const std::filesystem::path& file);

}  // namespace morvik::speech::linux
