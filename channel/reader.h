#pragma once

#include <cstddef>
#include <functional>

#include "channel/json.h"
#include "channel/main_loop.h"

namespace morvik::channel {

// Line limits of the helpers that read requests.
inline constexpr std::size_t bleLineLimit = 1024;
inline constexpr std::size_t speechLineLimit = 4096;
inline constexpr std::size_t virtualMicLineLimit = 4095;

using RequestHandler = std::function<void(Json request)>;

// Reads lines from `fd` until end of input, on the calling thread: each line
// of at most `limit` bytes goes to `onLine`, each longer one is skipped as
// it arrives and reported to `onDropped` (if any), in input order. A
// handler runs to its end before more input is read.
void readLines(int fd, std::size_t limit, const std::function<void(std::string_view line)>& onLine,
               const std::function<void()>& onDropped = {});

// readLines for requests: `onRequest` hears every accepted object.
void readRequests(int fd, std::size_t limit, const RequestHandler& onRequest);

// The reader of the long-lived helpers: a background thread reads requests
// and posts each to the main loop. At end of input it posts `atEnd` (if any),
// then `exit`, behind the requests already posted.
struct ReaderSetup {
  int fd = 0;
  std::size_t limit = bleLineLimit;
  RequestHandler receive;
  Task atEnd;
  Task exit;
};
void startReader(MainLoop& loop, ReaderSetup setup);

// Ends the process at once with status 0; nothing is buffered to flush.
[[noreturn]] void exitProcess();

}  // namespace morvik::channel
