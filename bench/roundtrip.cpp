// Round trip of one request line through a helper over pipes: sends a line,
// waits for the first answer line, and repeats; prints p50, p99 and max.
//   roundtrip HELPER 'LINE' [COUNT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport/process.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HELPER LINE [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string line = std::string(argv[2]) + "\n";
  const int count = argc > 3 ? std::atoi(argv[3]) : 20000;
  morvik::testing::ChildProcess helper(argv[1]);
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count + 100; ++i) {
    const auto start = std::chrono::steady_clock::now();
    helper.write(line);
    if (!helper.readLine(std::chrono::seconds(5))) {
      std::fprintf(stderr, "no answer to request %d\n", i);
      return 1;
    }
    const auto spent = std::chrono::steady_clock::now() - start;
    if (i >= 100) micros.push_back(std::chrono::duration<double, std::micro>(spent).count());  // after warm-up
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
  std::printf("round trip over pipes, %d requests: p50 %.1f us, p99 %.1f us, max %.1f us\n", count, at(0.5), at(0.99),
              micros.back());
  helper.wait();
  return 0;
}
