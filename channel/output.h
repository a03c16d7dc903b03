#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "channel/json.h"

namespace morvik::channel {

// Where output lines go. Each call is one write of the whole buffer; false
// when not all of it could be written.
class Output {
 public:
  virtual ~Output() = default;
  virtual bool write(std::string_view bytes) = 0;
};

// Writes to a file descriptor with write(2): partial writes, EINTR and a
// full non-blocking descriptor are waited through, nothing is buffered, and a
// failure is only returned.
class FdOutput final : public Output {
 public:
  explicit FdOutput(int fd) : fd_(fd) {}
  bool write(std::string_view bytes) override;

 private:
  int fd_;
};

// Keeps every write, for tests and demos.
class RecordingOutput final : public Output {
 public:
  bool write(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return true;
  }
  // The whole output so far split at line feeds (without them), and cleared.
  std::vector<std::string> takeLines();

  std::vector<std::string> writes;
};

// Compact JSON text of an object. Invalid UTF-8 in strings becomes U+FFFD.
std::string serialize(const Json& object);

// The object as compact JSON and one line feed, in one write.
void emit(Output& out, const Json& object);
// The object, then the line feed as a second write.
void emitThenLineFeed(Output& out, const Json& object);
// The object alone, with no line feed.
void emitWithoutLineFeed(Output& out, const Json& object);

// Standard output of the helpers, shared by every emit of the process.
Output& standardOutput();

// Called first by each helper's main: a reader that closes our output must
// not kill the helper with SIGPIPE; the failed writes are silent instead.
void prepareProcess();

}  // namespace morvik::channel
