#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testsupport/process.h"

namespace morvik::testing {

// A PulseAudio server of a test's own, in a private runtime folder, with a
// null sink "blackhole" described as "BlackHole 2ch" (16 kHz stereo, the
// helper's format, so its monitor records the samples bit for bit), made by
// scripts/virtual-mic-device as a user makes it. Ends with the object.
class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // The environment that points a client here.
  std::vector<std::string> environment() const { return {"PULSE_SERVER=unix:" + socket_}; }
  std::string address() const { return "unix:" + socket_; }
  int pactl(const std::vector<std::string>& args) const;
  // Records the sink's monitor as raw frames on standard output; already
  // delivering when returned.
  std::unique_ptr<ChildProcess> recordMonitor() const;

 private:
  std::string directory_, socket_;
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace morvik::testing
