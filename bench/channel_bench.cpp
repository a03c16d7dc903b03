// Throughput of the channel's input and output path in one thread: lines
// split from a stream, repaired, parsed as requests, and answers serialised.
#include <benchmark/benchmark.h>

#include <string>

#include "channel/json.h"
#include "channel/line_splitter.h"
#include "channel/output.h"
#include "channel/reader.h"

namespace {

using namespace morvik::channel;

std::string requestStream(std::size_t lines) {
  std::string stream;
  for (std::size_t i = 0; i < lines; ++i) {
    stream += "{\"id\":" + std::to_string(i) + R"(,"op":"write","data":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16]})" "\n";
  }
  return stream;
}

class NullOutput final : public Output {
 public:
  bool write(std::string_view bytes) override {
    benchmark::DoNotOptimize(bytes.data());
    return true;
  }
};

void BM_ReadParseEmit(benchmark::State& state) {
  const std::string stream = requestStream(1000);
  NullOutput out;
  std::size_t lines = 0;
  for (auto _ : state) {
    LineSplitter splitter(bleLineLimit, [&](std::string_view line) {
      if (auto request = parseRequest(line, bleLineLimit)) {
        emit(out, Json{{"id", (*request)["id"]}, {"result", true}});
        ++lines;
      }
    });
    // Pipe-sized reads, as the reader gets them.
    for (std::size_t at = 0; at < stream.size(); at += 65536) splitter.feed(std::string_view(stream).substr(at, 65536));
    splitter.finish();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(lines));
  state.SetBytesProcessed(static_cast<std::int64_t>(stream.size() * state.iterations()));
}
BENCHMARK(BM_ReadParseEmit);

void BM_EmitVoiceEvent(benchmark::State& state) {
  NullOutput out;
  const Bytes packet(static_cast<std::size_t>(state.range(0)), 0xA5);
  for (auto _ : state) emit(out, Json{{"event", "voice"}, {"data", byteArray(packet)}});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EmitVoiceEvent)->Arg(20)->Arg(180);

}  // namespace

BENCHMARK_MAIN();
