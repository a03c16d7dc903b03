#pragma once

#include <asio/io_context.hpp>

#include "channel/main_loop.h"

namespace morvik::channel {

// The Linux main loop. The Linux platform layers that wait on file
// descriptors of their own (the D-Bus connection) use its io_context.
class AsioLoop final : public MainLoop {
 public:
  void post(Task task) override;
  std::unique_ptr<Timer> schedule(Duration interval, bool repeats, Task tick) override;
  void run() override;
  void stop() override;

  asio::io_context& context() { return io_; }

 private:
  asio::io_context io_{1};
};

}  // namespace morvik::channel
