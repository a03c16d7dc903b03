#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "channel/main_loop.h"

namespace morvik::channel {

// A main loop for tests: nothing runs until the test says so, and time is a
// virtual clock that only the test moves.
class ManualLoop final : public MainLoop {
 public:
  ManualLoop();
  ~ManualLoop() override;

  void post(Task task) override;
  std::unique_ptr<Timer> schedule(Duration interval, bool repeats, Task tick) override;
  // Runs until nothing is ready; does not move the clock.
  void run() override { runReady(); }
  void stop() override {}
  TimePoint now() const override { return now_; }

  // Runs the posted tasks, and the tasks they post, until none is left.
  void runReady();
  // Moves the clock forward by `span`, stopping at each timer deadline on the
  // way to run that timer and then the tasks that became ready.
  void advance(Duration span);
  // Moves the clock without running anything, as a main thread that was
  // blocked; the next runReady() fires each overdue timer once.
  void stall(Duration span);

  Duration elapsed() const { return now_ - start_; }
  std::size_t activeTimers() const;

 private:
  struct TimerState;
  class ManualTimer;

  void fireDueTimers();
  bool fireEarliestDue();

  TimePoint start_;
  TimePoint now_;
  mutable std::mutex mutex_;  // posts may come from other threads
  std::deque<Task> tasks_;
  std::multimap<TimePoint, std::shared_ptr<TimerState>> timers_;
};

}  // namespace morvik::channel
