#pragma once

// What the simulated keyboard's microphone hears each time its voice stream
// is switched on: a spoken sentence as 16 kHz mono 16-bit little-endian PCM,
// made by the build with flite; empty when flite was not there.

#include <cstdint>
#include <span>

namespace morvik::ble::sim {

std::span<const std::uint8_t> keyboardVoice();

}  // namespace morvik::ble::sim
