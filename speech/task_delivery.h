#pragma once

// How a platform layer hands a recognition task's results to the logic:
// from any thread onto the main loop, and never once the task is cancelled,
// so that a late callback cannot reach a later session.

#include <memory>
#include <optional>
#include <utility>

#include "channel/main_loop.h"
#include "speech/recognizer.h"

namespace morvik::speech {

class TaskDelivery {
 public:
  TaskDelivery(channel::MainLoop& loop, ResultHandler handler)
      : loop_(loop), state_(std::make_shared<State>(State{std::move(handler), false})) {}

  // From any thread.
  void deliver(std::optional<RecognitionResult> result, RecognitionError error) const {
    loop_.post([state = state_, result = std::move(result), error = std::move(error)] {
      if (!state->cancelled) state->handler(result, error);
    });
  }
  // On the main thread.
  void cancel() {
    state_->cancelled = true;
    state_->handler = nullptr;
  }

 private:
  // Read and written on the main thread only.
  struct State {
    ResultHandler handler;
    bool cancelled;
  };
  channel::MainLoop& loop_;
  std::shared_ptr<State> state_;
};

}  // namespace morvik::speech
