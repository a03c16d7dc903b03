#pragma once

#include <memory>

#include "testsupport/sound_server.h"

namespace morvik::testing {

// A PulseAudio server of a test's own, in a private runtime folder, with a
// null sink "blackhole" described as "BlackHole 2ch" (16 kHz stereo, the
// helper's format, so its monitor records the samples bit for bit), made by
// scripts/virtual-mic-device as a user makes it.
class PulseServer final : public SoundServer {
 public:
  PulseServer();
  ~PulseServer() override;

  int removeSink() const override { return pactl({"unload-module", "module-null-sink"}); }

 private:
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace morvik::testing
