// morvik-ble's steady flow: voice notifications from the keyboard in, one
// "voice" line out each, on one core, through the real bridge and the sim
// keyboard on a manual loop. The lines go to /dev/null with one write each,
// as they would go to the pipe.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include "ble/morvik_ble.h"
#include "ble/sim/sim_world.h"
#include "channel/manual_loop.h"
#include "channel/output.h"

namespace {

using namespace morvik;

void BM_VoicePacketsForwarded(benchmark::State& state) {
  const int devNull = ::open("/dev/null", O_WRONLY);
  channel::FdOutput out(devNull);
  channel::ManualLoop loop;
  ble::sim::SimWorld world(loop);
  const auto keyboard = ble::sim::addDefaultKeyboard(world);
  ble::MorvikBLE bridge(out, loop, world.centralFactory());
  loop.runReady();
  for (const char* request : {R"({"id":1,"op":"open"})", R"({"id":2,"op":"select","deviceId":"0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405"})",
                              R"({"id":3,"op":"voiceEnable","enabled":true})"}) {
    bridge.receive(*channel::parseObject(request));
    loop.runReady();
  }
  // The clock stands still, so the keyboard's own 20 ms stream stays quiet
  // and every packet is one the benchmark sends.
  const ble::Bytes packet(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    keyboard->notifyVoice(packet);
    loop.runReady();
  }
  state.SetItemsProcessed(state.iterations());
  ::close(devNull);
}
BENCHMARK(BM_VoicePacketsForwarded)->Arg(20)->Arg(100)->Arg(182);

}  // namespace

BENCHMARK_MAIN();
