#include "ble/linux/bus_pump.h"

#include <poll.h>
#include <unistd.h>

#include <sdbus-c++/Error.h>

namespace morvik::ble::linux {

BusPump::BusPump(asio::io_context& io, sdbus::IConnection& bus, std::function<void()> lost)
    : bus_(bus), descriptor_(io), timer_(io), lost_(std::move(lost)) {
  // A duplicate, so that Asio closing its descriptor leaves the bus's own open.
  descriptor_.assign(::dup(bus_.getEventLoopPollData().fd));
}

BusPump::~BusPump() = default;

void BusPump::pump() {
  // Handlers may send, and sending asks for another pump: run it once.
  if (pumping_ || broken_) return;
  pumping_ = true;
  try {
    while (bus_.processPendingRequest()) {
    }
    arm();
  } catch (const sdbus::Error&) {
    broken_ = true;
  }
  pumping_ = false;
  if (broken_) {
    descriptor_.cancel();
    timer_.cancel();
    lost_();
  }
}

void BusPump::arm() {
  const auto generation = ++generation_;
  descriptor_.cancel();
  timer_.cancel();
  const auto ready = [this, generation](const asio::error_code& error) {
    if (error || generation != generation_) return;
    pump();
  };
  const auto data = bus_.getEventLoopPollData();
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, ready);
  if ((data.events & POLLOUT) != 0) descriptor_.async_wait(asio::posix::stream_descriptor::wait_write, ready);
  if (const auto timeout = data.getRelativeTimeout()) {
    timer_.expires_after(*timeout);
    timer_.async_wait(ready);
  }
}

}  // namespace morvik::ble::linux
