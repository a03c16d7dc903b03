#include "channel/output.h"

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <unistd.h>

namespace morvik::channel {

bool FdOutput::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      // A descriptor made non-blocking by whoever shares it: wait until it
      // takes more, as a blocking one would.
      pollfd ready{fd_, POLLOUT, 0};
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && (::poll(&ready, 1, -1) >= 0 || errno == EINTR)) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::vector<std::string> RecordingOutput::takeLines() {
  std::string all;
  for (const auto& w : writes) all += w;
  writes.clear();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at = all.find('\n'); at != std::string::npos; at = all.find('\n', start)) {
    lines.push_back(all.substr(start, at - start));
    start = at + 1;
  }
  if (start < all.size()) lines.push_back(all.substr(start));
  return lines;
}

std::string serialize(const Json& object) { return object.dump(-1, ' ', false, Json::error_handler_t::replace); }

void emit(Output& out, const Json& object) {
  std::string line = serialize(object);
  line.push_back('\n');
  out.write(line);
}

void emitThenLineFeed(Output& out, const Json& object) {
  out.write(serialize(object));
  out.write("\n");
}

void emitWithoutLineFeed(Output& out, const Json& object) { out.write(serialize(object)); }

Output& standardOutput() {
  static FdOutput out(STDOUT_FILENO);
  return out;
}

void prepareProcess() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace morvik::channel
