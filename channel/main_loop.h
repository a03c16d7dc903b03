#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace morvik::channel {

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

// A timer of the main loop. Invalidating it stops it for good; a tick that
// was already due is not run after that.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
};

// The main thread's loop: every piece of helper state is touched only by the
// tasks and timers it runs, one at a time.
class MainLoop {
 public:
  virtual ~MainLoop() = default;

  // From any thread: runs the task on the main thread, after the tasks posted before it.
  virtual void post(Task task) = 0;

  // The loop's clock, which its timers follow.
  virtual TimePoint now() const { return std::chrono::steady_clock::now(); }

  // On the main thread. A repeating timer first fires one interval after it
  // is scheduled; one that falls behind skips the ticks it missed.
  virtual std::unique_ptr<Timer> schedule(Duration interval, bool repeats, Task tick) = 0;

  // Runs tasks and timers until stop(). In the helpers it does not return:
  // they end by exiting the process.
  virtual void run() = 0;
  // On the main thread: makes run() return once the current task is done.
  virtual void stop() = 0;
};

// The loop of the platform the helpers are built for (Asio on Linux, the
// main dispatch queue and run loop on macOS).
std::unique_ptr<MainLoop> makePlatformLoop();

}  // namespace morvik::channel
