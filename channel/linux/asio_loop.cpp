#include "channel/linux/asio_loop.h"

#include <asio.hpp>

namespace morvik::channel {
namespace {

using Clock = std::chrono::steady_clock;

class AsioTimer final : public Timer {
 public:
  AsioTimer(asio::io_context& io, Duration interval, bool repeats, Task tick)
      : state_(std::make_shared<State>(io, interval, repeats, std::move(tick))) {
    arm(state_, Clock::now() + interval);
  }
  ~AsioTimer() override { invalidate(); }

  void invalidate() override {
    state_->valid = false;
    state_->timer.cancel();
  }

 private:
  struct State {
    State(asio::io_context& io, Duration i, bool r, Task t) : timer(io), interval(i), repeats(r), tick(std::move(t)) {}
    asio::steady_timer timer;
    Duration interval;
    bool repeats;
    Task tick;
    bool valid = true;
  };

  static void arm(const std::shared_ptr<State>& state, Clock::time_point when) {
    state->timer.expires_at(when);
    state->timer.async_wait([state](const asio::error_code& error) {
      if (error || !state->valid) return;
      const auto due = state->timer.expiry();
      if (state->repeats) {
        // Late ticks are not made up: the next one is the first still ahead.
        auto next = due + state->interval;
        const auto now = Clock::now();
        if (next <= now) next += ((now - next) / state->interval + 1) * state->interval;
        arm(state, next);
      } else {
        state->valid = false;
      }
      state->tick();
    });
  }

  std::shared_ptr<State> state_;
};

}  // namespace

void AsioLoop::post(Task task) { asio::post(io_, std::move(task)); }

std::unique_ptr<Timer> AsioLoop::schedule(Duration interval, bool repeats, Task tick) {
  return std::make_unique<AsioTimer>(io_, interval, repeats, std::move(tick));
}

void AsioLoop::run() {
  auto work = asio::make_work_guard(io_);
  io_.run();
}

void AsioLoop::stop() { io_.stop(); }

std::unique_ptr<MainLoop> makePlatformLoop() { return std::make_unique<AsioLoop>(); }

}  // namespace morvik::channel
