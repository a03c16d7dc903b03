#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testsupport/sound_server.h"

namespace morvik::testing {

// PipeWire of a test's own, as a desktop runs it but private to the test:
// a session bus, PipeWire with the PulseAudio protocol module loaded from
// its configuration (Debian's pipewire-pulse would replace PulseAudio) and
// WirePlumber without device monitors, all in a private runtime and
// configuration folder. `sinkConfiguration` is a configuration fragment
// that makes the sink, as a user drops it in.
class PipeWireServer final : public SoundServer {
 public:
  explicit PipeWireServer(const std::string& sinkConfiguration);
  ~PipeWireServer() override;

  int removeSink() const override;

 private:
  std::unique_ptr<ChildProcess> start(const std::string& program);

  std::vector<std::string> environment_;
  std::vector<std::unique_ptr<ChildProcess>> processes_;
};

}  // namespace morvik::testing
