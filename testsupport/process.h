#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace morvik::testing {

// A helper executable started with pipes on its standard streams, for the
// process tests. Reads wait up to a deadline, so a hanging helper fails a
// test instead of hanging it.
class ChildProcess {
 public:
  struct Exit {
    int status = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;
    long peakRssKiB = 0;
  };

  ChildProcess(const std::string& path, const std::vector<std::string>& args = {},
               const std::vector<std::string>& extraEnvironment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void write(std::string_view bytes);
  void closeInput();

  // The next output line without its line feed, or nothing at end of output
  // or when the deadline passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<std::string> readAllLines(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  pid_t pid() const { return pid_; }
  // Whatever the child wrote on standard error so far (read at exit).
  const std::string& errorOutput() const { return stderr_; }

  // Waits for the child (closing its input first); kills it after the timeout.
  Exit wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  void drainErrors();

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string buffer_;
  std::string stderr_;
  bool outputEnded_ = false;
  std::optional<Exit> exit_;
};

// Runs a program to its end with the given input; for one-shot helpers.
struct RunResult {
  std::string output;
  std::string errors;
  ChildProcess::Exit exit;
};
RunResult runProcess(const std::string& path, const std::vector<std::string>& args = {}, std::string_view input = {},
                     const std::vector<std::string>& extraEnvironment = {});

// Writes `directory`/bus.conf for a private bus on `directory`/bus, where
// everyone may own and call anything but what the `deny` rules forbid, and
// that activates only what `directory`/services holds; its path.
std::string writeBusConfiguration(const std::string& directory, const std::string& deny = {});

// Polls `done` until it holds; false once the timeout has passed.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace morvik::testing
