// The macOS main loop: tasks go to the main dispatch queue, timers are run
// loop timers in the common modes, and run() runs the main run loop, which
// also serves the main queue and the frameworks' callbacks. The helpers run
// no AppKit event loop that would drain autorelease pools, so each task and
// each tick drains its own (Objective-C++ for @autoreleasepool).
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include "channel/main_loop.h"

namespace morvik::channel {
namespace {

void runTask(void* context) {
  @autoreleasepool {
    std::unique_ptr<Task> task(static_cast<Task*>(context));
    (*task)();
  }
}

class RunLoopTimer final : public Timer {
 public:
  RunLoopTimer(Duration interval, bool repeats, Task tick) : tick_(std::move(tick)) {
    const double seconds = std::chrono::duration<double>(interval).count();
    CFRunLoopTimerContext context{};
    context.info = this;
    // A repeating run loop timer skips the fire dates it missed.
    timer_ = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, repeats ? seconds : 0, 0,
                                  0, &RunLoopTimer::fire, &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer_, kCFRunLoopCommonModes);
  }
  ~RunLoopTimer() override {
    invalidate();
    CFRelease(timer_);
  }

  void invalidate() override { CFRunLoopTimerInvalidate(timer_); }

 private:
  static void fire(CFRunLoopTimerRef, void* info) {
    @autoreleasepool {
      // Copied, so that a tick may invalidate and destroy its own timer.
      Task tick = static_cast<RunLoopTimer*>(info)->tick_;
      tick();
    }
  }

  Task tick_;
  CFRunLoopTimerRef timer_ = nullptr;
};

class DarwinLoop final : public MainLoop {
 public:
  void post(Task task) override { dispatch_async_f(dispatch_get_main_queue(), new Task(std::move(task)), &runTask); }

  std::unique_ptr<Timer> schedule(Duration interval, bool repeats, Task tick) override {
    return std::make_unique<RunLoopTimer>(interval, repeats, std::move(tick));
  }

  void run() override { CFRunLoopRun(); }
  void stop() override { CFRunLoopStop(CFRunLoopGetMain()); }
};

}  // namespace

std::unique_ptr<MainLoop> makePlatformLoop() { return std::make_unique<DarwinLoop>(); }

}  // namespace morvik::channel
