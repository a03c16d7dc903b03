// On Linux: the cost of one snapshot (X11 and AT-SPI reads) with the GTK test
// application in front, on a desktop of its own.
//   context_snapshot GTK_TEST_APP [SNAPSHOTS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "channel/main_loop.h"
#include "channel/output.h"
#include "context/platform_context.h"
#include "context/snapshot.h"
#include "testsupport/desktop_session.h"

int main(int argc, char** argv) {
  using namespace morvik;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s GTK_TEST_APP [SNAPSHOTS]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 200;
  testing::DesktopSession desktop(argv[1]);
  for (const auto& variable : desktop.environment()) ::putenv(const_cast<char*>(variable.c_str()));
  auto loop = channel::makePlatformLoop();
  const auto platform = context::makeContextPlatform(context::Mode::monitor);
  const context::Environment environment{platform->accessibility(), platform->input(), *loop};
  const auto first = context::snapshot(environment);
  if (first.value("hasWindow", channel::Json()) != true) {
    std::fprintf(stderr, "no window in front: %s\n", channel::serialize(first).c_str());
    return 1;
  }
  std::vector<double> millis;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto snapshot = context::snapshot(environment);
    millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(millis.begin(), millis.end());
  std::printf(
      "snapshot with the GTK test application in front, %d snapshots: median %.2f ms, p95 %.2f ms, max %.2f ms\n",
      count, millis[millis.size() / 2], millis[millis.size() * 95 / 100], millis.back());
  return 0;
}
