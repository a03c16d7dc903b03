#include "virtual-mic/sim/sim_audio.h"

namespace morvik::virtualmic {

std::unique_ptr<AudioSystem> makeAudioSystem() { return std::make_unique<sim::SimAudioSystem>(); }

}  // namespace morvik::virtualmic
