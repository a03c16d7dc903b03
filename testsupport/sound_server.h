#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testsupport/process.h"

namespace morvik::testing {

// A sound server of a test's own that speaks the PulseAudio protocol on a
// private socket and has a sink "blackhole" described as "BlackHole 2ch",
// whatever server stands behind it. Ends with the object.
class SoundServer {
 public:
  virtual ~SoundServer();

  // The environment that points a client here.
  std::vector<std::string> environment() const { return {"PULSE_SERVER=unix:" + socket_}; }
  std::string address() const { return "unix:" + socket_; }
  int pactl(const std::vector<std::string>& args) const;
  // Takes the sink away, as a user who unloads it; the exit status of the command.
  virtual int removeSink() const = 0;
  // Records the sink's monitor as raw 16 kHz stereo frames on standard
  // output; already delivering when returned.
  std::unique_ptr<ChildProcess> recordMonitor() const;

 protected:
  // A private folder named after `prefix`, the socket in it.
  explicit SoundServer(const std::string& prefix);
  // Waits until pactl with the arguments succeeds (with that output, if given).
  void waitFor(const std::vector<std::string>& pactlArgs, const std::string& output = {}) const;

  std::string directory_, socket_;

 private:
  // Removes the folder once the test lets go of its input: at the end, or
  // when the test is killed.
  std::unique_ptr<ChildProcess> janitor_;
};

// The fenced code block that follows the first line of `file` holding
// `marker`, without the block's indentation: what a user copies from the docs.
std::string documentedBlock(const std::string& file, const std::string& marker);

// A PulseAudio server of a test's own, in a private runtime folder, with a
// null sink "blackhole" described as "BlackHole 2ch" (16 kHz stereo, the
// helper's format, so its monitor records the samples bit for bit), made by
// scripts/virtual-mic-device as a user makes it.
class PulseServer final : public SoundServer {
 public:
  PulseServer();

  int removeSink() const override { return pactl({"unload-module", "module-null-sink"}); }
  // The pulseaudio process itself, to stop or kill.
  pid_t pid() const { return server_->pid(); }

 private:
  std::unique_ptr<ChildProcess> server_;
};

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
