#pragma once

#include <cstdint>
#include <functional>

#include <sdbus-c++/IConnection.h>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace morvik::ble::linux {

// Serves a D-Bus connection from the Asio main loop, so that every reply and
// signal is handled on the main thread, one at a time, like any other task.
class BusPump {
 public:
  // `lost` runs once if the connection breaks.
  BusPump(asio::io_context& io, sdbus::IConnection& bus, std::function<void()> lost);
  ~BusPump();

  // Handles whatever the connection has ready, then waits for more. Call it
  // after sending, so that queued output is flushed.
  void pump();

 private:
  void arm();

  sdbus::IConnection& bus_;
  asio::posix::stream_descriptor descriptor_;
  asio::steady_timer timer_;
  std::function<void()> lost_;
  std::uint64_t generation_ = 0;
  bool broken_ = false;
  bool pumping_ = false;
};

}  // namespace morvik::ble::linux
