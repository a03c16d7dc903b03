#pragma once

#include <cstddef>
#include <optional>

namespace morvik::virtualmic {

// Whether "end" has waited long enough for the queued audio to play out.
// The queue's running flag follows the device, not the start and stop
// calls: right after a start it can still read 0, so a 0 means "stopped"
// only once the queue has been seen running. Done when every enqueued
// buffer has come back, when the queue stopped after it ran, or when the
// flag cannot be read (`running` none).
constexpr bool drained(std::optional<bool> running, bool hasRun, std::size_t outstanding) {
  return outstanding == 0 || !running || (!*running && hasRun);
}

}  // namespace morvik::virtualmic
