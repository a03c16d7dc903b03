// morvik-virtual-mic as the application drives it: the simulated devices
// always, and on Linux a PulseAudio server and a PipeWire of the test's own
// whose sink is described as "BlackHole 2ch", recorded through its monitor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "channel/base64.h"
#include "testsupport/process.h"
#ifdef MORVIK_VIRTUAL_MIC_LINUX
#include "testsupport/pipewire_server.h"
#include "testsupport/pulse_server.h"
#endif

namespace morvik::virtualmic {
namespace {

using testing::ChildProcess;
using Lines = std::vector<std::string>;

std::string audioLine(std::uint32_t session, const std::vector<std::int16_t>& samples) {
  channel::Bytes pcm;
  for (const auto s : samples) pcm.insert(pcm.end(), {static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s >> 8)});
  return R"({"op":"audio","session":)" + std::to_string(session) + R"(,"pcm":")" + channel::encodeBase64(pcm) + "\"}\n";
}

// Chunk `c` of a signal that never repeats within a test and is never 0.
std::vector<std::int16_t> signalChunk(int c) {
  std::vector<std::int16_t> samples(320);
  for (int i = 0; i < 320; ++i) samples[i] = static_cast<std::int16_t>((c * 320 + i) % 30000 + 1);
  return samples;
}

TEST(VirtualMicProcess, SimulatedSession) {
  const std::string prepare = R"({"op":"prepare","pad":")";
  const std::string at4095 = prepare + std::string(4095 - prepare.size() - 2, 'x') + "\"}";
  const std::string at4096 = prepare + std::string(4096 - prepare.size() - 2, 'x') + "\"}";
  std::string input = at4096 + "\n\n[1]\n" + at4095 + "\n" +
                      R"({"op":"start","session":7})"
                      "\n";
  for (int c = 0; c < 4; ++c) input += audioLine(7, signalChunk(c));
  input += R"({"op":"end","session":7})"
           "\n"
           R"({"op":"start","session":8})"
           "\n";
  const auto run = testing::runProcess(MORVIK_VIRTUAL_MIC_SIM, {}, input);
  const std::string invalid = R"({"event":"error","message":"虚拟麦克风命令无效"})"
                              "\n";
  EXPECT_EQ(run.output, invalid + invalid + invalid +
                            R"({"event":"ready","device":"BlackHole 2ch","offline":true})"
                            "\n"
                            R"({"event":"final","session":7,"text":""})"
                            "\n");
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_EQ(run.errors, "");
}

#ifdef MORVIK_VIRTUAL_MIC_LINUX
// Run as from a desktop session, whose own sound server and PipeWire the
// tests must not reach. (Set here: a list in the tests' ENVIRONMENT property
// keeps only its first entry.)
const bool inDesktopSession = [] {
  for (const auto* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR"})
    ::setenv(name, "/nonexistent", 1);
  return ::setenv("PULSE_SERVER", "unix:/nonexistent/native", 1) == 0;
}();

enum class Server { pulseAudio, pipeWire };
void PrintTo(Server server, std::ostream* out) { *out << (server == Server::pipeWire ? "PipeWire" : "PulseAudio"); }

// PipeWire carries the stream through its 48 kHz graph and back: a steady
// signal comes through exact, but the resampler smooths the samples within
// `reach` of a step (a silence, the end). A late chunk (an underrun) does not
// hold the stream: silence takes the time of what was late. So: left equals
// right, and the pushed samples are heard exactly, in order and in time, but
// for stretches of silence with at most `reach` smoothed samples on either
// side.
::testing::AssertionResult heardThroughTheGraph(const std::vector<std::int16_t>& frames,
                                                const std::vector<std::int16_t>& pushed) {
  constexpr std::size_t reach = 64;
  const std::size_t count = frames.size() / 2;
  const auto left = [&](std::size_t f) { return frames[2 * f]; };
  for (std::size_t f = 0; f < count; ++f)
    if (left(f) != frames[2 * f + 1]) return ::testing::AssertionFailure() << "left and right differ at frame " << f;
  // The signal's value is its index plus 1: a heard value tells which sample
  // it is. A few samples (the resampler's phase) may come early or late.
  constexpr std::size_t slack = 8;
  const auto exactFrom = [&](std::size_t f, std::size_t p) {
    if (p + slack > pushed.size()) return false;
    for (std::size_t k = 0; k < reach && p + k < pushed.size(); ++k)
      if (f + k >= count || left(f + k) != pushed[p + k]) return false;
    return true;
  };
  std::size_t f = 0, p = 0;
  while (p < pushed.size()) {
    if (f < count && left(f) == pushed[p]) {
      ++f, ++p;
      continue;
    }
    std::size_t next = f, sounding = 0;
    for (; next < count; ++next) {
      const auto value = left(next);
      if (value >= pushed[p] && exactFrom(next, p + static_cast<std::size_t>(value - pushed[p]))) break;
      if (value != 0) ++sounding;
    }
    if (next == count) {
      // The end, smoothed: the signal still lasts until the last sample's time.
      std::size_t loud = count;
      while (loud > f && std::abs(left(loud - 1)) < std::abs(pushed.back()) / 2) --loud;
      if (pushed.size() - p <= reach && loud + slack >= f + (pushed.size() - p)) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "samples " << p << " to " << pushed.size() << " not heard";
    }
    const auto skipped = static_cast<std::size_t>(left(next) - pushed[p]);
    if (skipped > next - f + slack || sounding > 2 * reach)
      return ::testing::AssertionFailure() << "samples " << p << " to " << p + skipped << " lost or altered";
    p += skipped;
    f = next;
  }
  return ::testing::AssertionSuccess();
}

// Each test runs on PulseAudio and on PipeWire's PulseAudio server (a plain
// TEST_F on PulseAudio only); the PipeWire sink is made as the docs say.
class VirtualMicPulse : public ::testing::TestWithParam<Server> {
 protected:
  static bool onPipeWire() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->value_param() != nullptr &&
           GetParam() == Server::pipeWire;
  }
  static std::unique_ptr<testing::SoundServer> startServer() {
    if (!onPipeWire()) return std::make_unique<testing::PulseServer>();
    return std::make_unique<testing::PipeWireServer>(
        testing::documentedBlock(MORVIK_PROTOCOL_DOC, "pipewire.conf.d/blackhole-2ch.conf"));
  }
  ChildProcess helper() { return ChildProcess(MORVIK_VIRTUAL_MIC_LINUX, {}, pulse.environment()); }
  std::unique_ptr<testing::SoundServer> server = startServer();
  testing::SoundServer& pulse = *server;
};
INSTANTIATE_TEST_SUITE_P(, VirtualMicPulse, ::testing::Values(Server::pulseAudio, Server::pipeWire),
                         [](const auto& run) { return ::testing::PrintToString(run.param); });

TEST_P(VirtualMicPulse, MonitorHearsThePushedSamplesWidenedInOrderAndComplete) {
  auto recorder = pulse.recordMonitor();
  ChildProcess mic(MORVIK_VIRTUAL_MIC_LINUX, {}, pulse.environment());
  mic.write(R"({"op":"prepare"})"
            "\n"
            R"({"op":"start","session":1})"
            "\n");
  ASSERT_EQ(mic.readLine(), R"({"event":"ready","device":"BlackHole 2ch","offline":true})");
  std::vector<std::int16_t> pushed;
  for (int c = 0; c < 50; ++c) {
    const auto samples = signalChunk(c);
    pushed.insert(pushed.end(), samples.begin(), samples.end());
    mic.write(audioLine(1, samples));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // in real time, as the application pushes
  }
  mic.write(R"({"op":"end","session":1})"
            "\n");
  EXPECT_EQ(mic.readLine(), R"({"event":"final","session":1,"text":""})");
  const std::string recording = recorder->readAll(std::chrono::milliseconds(300));
  std::vector<std::int16_t> frames(recording.size() / 2);
  std::memcpy(frames.data(), recording.data(), frames.size() * 2);
  if (onPipeWire()) {
    EXPECT_TRUE(heardThroughTheGraph(frames, pushed));
    EXPECT_EQ(mic.wait().status, 0);
    EXPECT_EQ(mic.errorOutput(), "");
    return;
  }
  std::size_t first = 0;
  while (first < frames.size() && frames[first] == 0) first += 2;
  ASSERT_GE(frames.size(), first + 2 * pushed.size()) << "recorded " << frames.size() / 2 << " frames";
  for (std::size_t i = 0; i < pushed.size(); ++i) {
    ASSERT_EQ(frames[first + 2 * i], pushed[i]) << "left, sample " << i;
    ASSERT_EQ(frames[first + 2 * i + 1], pushed[i]) << "right, sample " << i;
  }
  EXPECT_EQ(mic.wait().status, 0);
  EXPECT_EQ(mic.errorOutput(), "");
}

TEST_P(VirtualMicPulse, IdleSinkWithoutListenerKeepsUpInRealTime) {
  // Never suspended and heard by no one, PulseAudio's sink idles in long
  // blocks until the helper restarts it; a slow restart would congest the
  // pushed audio. (PipeWire's graph runs in short quanta throughout.)
  if (!onPipeWire()) {
    ASSERT_EQ(pulse.pactl({"unload-module", "module-suspend-on-idle"}), 0);
  }
  ChildProcess mic = helper();
  mic.write(R"({"op":"prepare"})"
            "\n"
            R"({"op":"start","session":1})"
            "\n");
  ASSERT_EQ(mic.readLine(), R"({"event":"ready","device":"BlackHole 2ch","offline":true})");
  for (int c = 0; c < 60; ++c) {
    mic.write(audioLine(1, signalChunk(c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  mic.write(R"({"op":"end","session":1})"
            "\n");
  EXPECT_EQ(mic.readLine(), R"({"event":"final","session":1,"text":""})");
}

TEST_P(VirtualMicPulse, SuspendedSinkCongestsOnPulseAudioAndWakesOnPipeWire) {
  // Pushed in real time, so only a sink that does not play runs the pool dry.
  ASSERT_EQ(pulse.pactl({"suspend-sink", "blackhole", "1"}), 0);
  ChildProcess mic = helper();
  mic.write(R"({"op":"prepare"})"
            "\n"
            R"({"op":"start","session":1})"
            "\n");
  for (int c = 0; c < 49; ++c) {
    mic.write(audioLine(1, signalChunk(c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  mic.write(R"({"op":"end","session":1})"
            "\n");
  mic.closeInput();
  EXPECT_EQ(mic.readAllLines(),
            (Lines{R"({"event":"ready","device":"BlackHole 2ch","offline":true})",
                   onPipeWire() ? R"({"event":"final","session":1,"text":""})"
                                : R"({"event":"error","message":"虚拟麦克风输出拥堵，已停止本轮录音"})"}));
  EXPECT_EQ(mic.wait().status, 0);
}

TEST_F(VirtualMicPulse, HomeWithoutRoomForTheCookieLeavesStandardErrorEmpty) {
  // libpulse keeps a cookie in the home folder and complains on standard
  // error when it can neither read nor write one there.
  const auto run = testing::runProcess(MORVIK_VIRTUAL_MIC_LINUX, {},
                                       R"({"op":"prepare"})"
                                       "\n",
                                       {pulse.environment()[0], "HOME=/proc", "XDG_CONFIG_HOME=/proc"});
  EXPECT_EQ(run.output, R"({"event":"ready","device":"BlackHole 2ch","offline":true})"
                        "\n");
  EXPECT_EQ(run.errors, "");
}

TEST_P(VirtualMicPulse, MissingSinkIsTheFatalError) {
  ASSERT_EQ(pulse.removeSink(), 0);
  const auto run = testing::runProcess(MORVIK_VIRTUAL_MIC_LINUX, {},
                                       R"({"op":"prepare"})"
                                       "\n",
                                       pulse.environment());
  EXPECT_EQ(
      run.output,
      R"({"event":"error","fatal":true,"message":"请先安装 BlackHole 2ch 虚拟音频驱动，然后重新启用；系统输入选择 BlackHole 2ch。"})"
      "\n");
  EXPECT_EQ(run.exit.status, 0);
}
#endif

}  // namespace
}  // namespace morvik::virtualmic
