#include "channel/reader.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <thread>

#include <unistd.h>

#ifdef __APPLE__
#include <dispatch/dispatch.h>
#endif

#include "channel/line_splitter.h"

namespace morvik::channel {

void readLines(int fd, std::size_t limit, const std::function<void(std::string_view line)>& onLine,
               const std::function<void()>& onDropped) {
  LineSplitter splitter(limit, onLine, onDropped);
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
  splitter.finish();
}

void readRequests(int fd, std::size_t limit, const RequestHandler& onRequest) {
  readLines(fd, limit, [&](std::string_view line) {
    if (auto request = parseRequest(line, limit)) onRequest(std::move(*request));
  });
}

namespace {

void readerLoop(MainLoop& loop, const ReaderSetup& setup) {
  readRequests(setup.fd, setup.limit, [&](Json request) {
    loop.post([receive = setup.receive, request = std::move(request)]() mutable { receive(std::move(request)); });
  });
  loop.post([atEnd = setup.atEnd, exit = setup.exit] {
    if (atEnd) atEnd();
    exit();
  });
}

#ifdef __APPLE__
struct ReaderJob {
  MainLoop* loop;
  ReaderSetup setup;
};

void runReaderJob(void* context) {
  std::unique_ptr<ReaderJob> job(static_cast<ReaderJob*>(context));
  readerLoop(*job->loop, job->setup);
}
#endif

}  // namespace

void startReader(MainLoop& loop, ReaderSetup setup) {
#ifdef __APPLE__
  dispatch_async_f(dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0), new ReaderJob{&loop, std::move(setup)},
                   &runReaderJob);
#else
  std::thread([&loop, setup = std::move(setup)] { readerLoop(loop, setup); }).detach();
#endif
}

void exitProcess() { std::_Exit(0); }

}  // namespace morvik::channel
