#include "virtual-mic/linux/pulse_audio.h"

namespace morvik::virtualmic {

std::unique_ptr<AudioSystem> makeAudioSystem() { return std::make_unique<linux::PulseAudioSystem>(); }

}  // namespace morvik::virtualmic
