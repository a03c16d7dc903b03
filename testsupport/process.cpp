#include "testsupport/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace morvik::testing {
namespace {

using Clock = std::chrono::steady_clock;

void makePipe(int fds[2]) {
#ifdef __APPLE__
  // No pipe2 on macOS: close-on-exec is set right after.
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
#endif
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnvironment) {
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  for (int* fds : {in, out, err}) makePipe(fds);
  // The child's ends become its standard input, output and error.
  const int childEnds[] = {in[0], out[1], err[1]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, childEnds[fd], fd);

  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  // An extra entry replaces the inherited one: a program reads the first of two.
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(extraEnvironment.begin(), extraEnvironment.end(),
                     [&](const std::string& extra) { return extra.starts_with(name); }))
      envStore.emplace_back(entry);
  }
  envStore.insert(envStore.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (const int end : childEnds) ::close(end);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
  if (!exit_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) ::close(fd);
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the child went away; the test sees that from its output
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ChildProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

bool ChildProcess::fill(Clock::time_point deadline) {
  if (outputEnded_) return false;
  pollfd p{out_, POLLIN, 0};
  const int ready = ::poll(&p, 1, remainingMs(deadline));
  if (ready <= 0) return false;
  char chunk[65536];
  const ssize_t n = ::read(out_, chunk, sizeof chunk);
  if (n <= 0) {
    outputEnded_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t at;
  while ((at = buffer_.find('\n')) == std::string::npos)
    if (!fill(deadline)) {
      // The last line may end without a line feed.
      if (!outputEnded_ || buffer_.empty()) return std::nullopt;
      return std::exchange(buffer_, {});
    }
  std::string line = buffer_.substr(0, at);
  buffer_.erase(0, at + 1);
  return line;
}

std::vector<std::string> ChildProcess::readAllLines(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = readLine(std::chrono::milliseconds(remainingMs(deadline)))) lines.push_back(std::move(*line));
  return lines;
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (fill(deadline)) {
  }
  return std::exchange(buffer_, {});
}

void ChildProcess::drainErrors() {
  char chunk[4096];
  for (;;) {
    pollfd p{err_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return;
    const ssize_t n = ::read(err_, chunk, sizeof chunk);
    if (n <= 0) return;
    stderr_.append(chunk, static_cast<std::size_t>(n));
  }
}

ChildProcess::Exit ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (exit_) return *exit_;
  closeInput();
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) break;
    drainErrors();
    if (Clock::now() > deadline) ::kill(pid_, SIGKILL);
    ::usleep(1000);
  }
  drainErrors();
  Exit exit;
  exit.peakRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) exit.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  exit_ = exit;
  return exit;
}

RunResult runProcess(const std::string& path, const std::vector<std::string>& args, std::string_view input,
                     const std::vector<std::string>& extraEnvironment) {
  ChildProcess child(path, args, extraEnvironment);
  child.write(input);
  child.closeInput();
  RunResult result;
  result.output = child.readAll();
  result.exit = child.wait();
  result.errors = child.errorOutput();
  return result;
}

std::string writeBusConfiguration(const std::string& directory, const std::string& deny) {
  const std::string path = directory + "/bus.conf";
  std::ofstream(path) << "<busconfig><type>custom</type><listen>unix:path=" << directory
                      << "/bus</listen><auth>EXTERNAL</auth><servicedir>" << directory
                      << "/services</servicedir><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                      << deny << "</policy></busconfig>\n";
  return path;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    ::usleep(10000);
  }
  return true;
}

}  // namespace morvik::testing
