// morvik-virtual-mic's own cost per chunk: one "audio" line parsed, decoded,
// widened into a pool buffer and enqueued (on a simulated queue that plays
// each buffer at once, so the pool never runs dry).
#include <benchmark/benchmark.h>

#include "channel/base64.h"
#include "channel/output.h"
#include "virtual-mic/sim/sim_audio.h"
#include "virtual-mic/virtual_mic.h"

namespace {

using namespace morvik;

void BM_AudioChunkLine(benchmark::State& state) {
  virtualmic::sim::SimAudioSystem system;
  system.playback = virtualmic::sim::Playback::byHand;
  channel::RecordingOutput out;
  virtualmic::VirtualMic mic(out, system, virtualmic::steadyClock());
  mic.receiveLine(R"({"op":"prepare"})");
  mic.receiveLine(R"({"op":"start","session":1})");
  out.writes.clear();  // the "ready" answer
  channel::Bytes pcm(640);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::uint8_t>(i * 5);
  const std::string line = R"({"op":"audio","session":1,"pcm":")" + channel::encodeBase64(pcm) + "\"}";
  for (auto _ : state) {
    mic.receiveLine(line);
    system.queue()->play();
  }
  if (!out.writes.empty()) state.SkipWithError(("the recording failed: " + out.writes.front()).c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AudioChunkLine);

}  // namespace

BENCHMARK_MAIN();
