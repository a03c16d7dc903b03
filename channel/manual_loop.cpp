#include "channel/manual_loop.h"

#include <algorithm>

namespace morvik::channel {

struct ManualLoop::TimerState {
  Duration interval;
  bool repeats;
  Task tick;
  bool valid = true;
};

class ManualLoop::ManualTimer final : public Timer {
 public:
  explicit ManualTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  ~ManualTimer() override { invalidate(); }
  void invalidate() override { state_->valid = false; }

 private:
  std::shared_ptr<TimerState> state_;
};

ManualLoop::ManualLoop() : start_(TimePoint{} + std::chrono::hours(1)), now_(start_) {}
ManualLoop::~ManualLoop() = default;

void ManualLoop::post(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

std::unique_ptr<Timer> ManualLoop::schedule(Duration interval, bool repeats, Task tick) {
  auto state = std::make_shared<TimerState>(TimerState{interval, repeats, std::move(tick)});
  timers_.emplace(now_ + interval, state);
  return std::make_unique<ManualTimer>(state);
}

void ManualLoop::runReady() {
  for (;;) {
    fireDueTimers();
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void ManualLoop::advance(Duration span) {
  const TimePoint end = now_ + span;
  runReady();
  for (;;) {
    auto next = std::find_if(timers_.begin(), timers_.end(), [](const auto& t) { return t.second->valid; });
    if (next == timers_.end() || next->first > end) break;
    now_ = std::max(now_, next->first);
    runReady();
  }
  now_ = std::max(now_, end);  // a tick that stalled may already have gone past the end
  runReady();
}

void ManualLoop::stall(Duration span) { now_ += span; }

void ManualLoop::fireDueTimers() {
  while (fireEarliestDue()) {
  }
}

bool ManualLoop::fireEarliestDue() {
  for (auto it = timers_.begin(); it != timers_.end() && it->first <= now_;) {
    auto state = it->second;
    const TimePoint due = it->first;
    it = timers_.erase(it);
    if (!state->valid) continue;
    if (!state->repeats) state->valid = false;
    state->tick();
    // Like a run loop timer, a repeating timer is rescheduled after its tick for the next
    // scheduled time still in the future, so a tick that takes longer than the interval
    // skips the missed times instead of firing for ever.
    if (state->repeats) {
      TimePoint next = due + state->interval;
      if (next <= now_) next += ((now_ - next) / state->interval + 1) * state->interval;
      timers_.emplace(next, state);
    }
    return true;
  }
  return false;
}

std::size_t ManualLoop::activeTimers() const {
  return static_cast<std::size_t>(
      std::count_if(timers_.begin(), timers_.end(), [](const auto& t) { return t.second->valid; }));
}

}  // namespace morvik::channel
