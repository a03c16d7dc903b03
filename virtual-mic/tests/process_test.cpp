// morvik-virtual-mic as the application drives it: the simulated devices
// always, and on Linux a PulseAudio server and a PipeWire of the test's own
// whose sink is described as "BlackHole 2ch", recorded through its monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "channel/base64.h"
#include "testsupport/process.h"
#ifdef MORVIK_VIRTUAL_MIC_LINUX
#include "testsupport/sound_server.h"
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

// JSON objects one a line, as the channel carries them.
std::string lines(std::initializer_list<std::string_view> objects) {
  std::string out;
  for (const auto object : objects) out.append(object).append("\n");
  return out;
}
const std::string prepare = R"({"op":"prepare"})", startOne = R"({"op":"start","session":1})";
const std::string readyLine = R"({"event":"ready","device":"BlackHole 2ch","offline":true})";
const std::string finalOne = R"({"event":"final","session":1,"text":""})";

// Chunk `c` of a signal that is never 0 and repeats only after `period` samples.
constexpr int period = 30000;
std::vector<std::int16_t> signalChunk(int c) {
  std::vector<std::int16_t> samples(320);
  for (int i = 0; i < 320; ++i) samples[i] = static_cast<std::int16_t>((c * 320 + i) % period + 1);
  return samples;
}

TEST(VirtualMicProcess, SimulatedSession) {
  const std::string padded = R"({"op":"prepare","pad":")";
  const std::string at4095 = padded + std::string(4095 - padded.size() - 2, 'x') + "\"}";
  const std::string at4096 = padded + std::string(4096 - padded.size() - 2, 'x') + "\"}";
  std::string input = lines({at4096, "", "[1]", at4095, R"({"op":"start","session":7})"});
  for (int c = 0; c < 4; ++c) input += audioLine(7, signalChunk(c));
  const auto run = testing::runProcess(MORVIK_VIRTUAL_MIC_SIM, {},
                                       input + lines({R"({"op":"end","session":7})", R"({"op":"start","session":8})"}));
  const std::string invalid = R"({"event":"error","message":"虚拟麦克风命令无效"})";
  EXPECT_EQ(run.output, lines({invalid, invalid, invalid, readyLine, R"({"event":"final","session":7,"text":""})"}));
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

// What a user copies from the documentation is what the tests and the demo run.
TEST(VirtualMicDocs, SetupCommandIsTheScriptsWordForWord) {
  std::ifstream file(MORVIK_SOURCE_DIR "/scripts/virtual-mic-device");
  const std::string script{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(script.substr(script.rfind("pactl load-module")),
            testing::documentedBlock(MORVIK_SOURCE_DIR "/docs/virtual-mic-protocol.md", "It runs, word for word"));
}

// PipeWire carries the stream through its 48 kHz graph and back: a steady
// signal comes through exact, but the resampler smooths the samples within
// `reach` of a step (a silence, the end). A late chunk (an underrun) does not
// hold the stream: silence takes the time of what was late, and a starved
// graph may play a scrap of a few samples between two silences. So: left
// equals right, and the pushed samples are heard exactly, in order and in
// time, but for silences with at most `reach` smoothed samples on either side
// and scraps too short to be heard exactly for `reach` samples.
::testing::AssertionResult heardThroughTheGraph(const std::vector<std::int16_t>& frames,
                                                const std::vector<std::int16_t>& pushed) {
  constexpr std::size_t reach = 64;
  const std::size_t count = frames.size() / 2;
  const auto left = [&](std::size_t f) { return frames[2 * f]; };
  for (std::size_t f = 0; f < count; ++f)
    if (left(f) != frames[2 * f + 1]) return ::testing::AssertionFailure() << "left and right differ at frame " << f;
  // The signal's value is its index plus 1, modulo its period: a heard value
  // tells which sample it is. A few samples (the resampler's phase) may come
  // early or late.
  constexpr std::size_t slack = 8;
  // Where the helper was late on a loaded machine, the graph may drop up to
  // one of its cycles (1024 frames at 48 kHz) instead of waiting.
  constexpr std::size_t graphCycle = 1024 / 3;
  const auto ahead = [](int value, int expected) {
    return static_cast<std::size_t>((value - expected + period) % period);
  };
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
    std::size_t next = f, sounding = 0, loudest = 0;
    for (; next < count; ++next) {
      const auto value = left(next);
      if (value > 0 && exactFrom(next, p + ahead(value, pushed[p]))) break;
      sounding = value != 0 ? sounding + 1 : 0;
      loudest = std::max(loudest, sounding);
    }
    if (next == count) {
      // The end, smoothed: the signal still lasts until the last sample's time,
      // but for what a starved graph dropped there.
      std::size_t loud = count;
      while (loud > f && std::abs(left(loud - 1)) < std::abs(pushed.back()) / 2) --loud;
      const std::size_t rest = pushed.size() - p;
      if (rest <= reach + graphCycle && loud + slack + graphCycle >= f + rest) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "samples " << p << " to " << pushed.size() << " not heard";
    }
    const auto skipped = ahead(left(next), pushed[p]);
    if (skipped > next - f + slack + graphCycle || loudest > 3 * reach)
      return ::testing::AssertionFailure() << "samples " << p << " to " << p + skipped << " lost or altered ("
                                           << next - f << " frames between, " << loudest << " sounding in a row)";
    p += skipped;
    f = next;
  }
  return ::testing::AssertionSuccess();
}

// Each test runs on PulseAudio and on PipeWire's PulseAudio server (a plain
// TEST_F on PulseAudio only); the PipeWire sink is made as the docs say.
class VirtualMicPulse : public ::testing::TestWithParam<bool> {  // on PipeWire
 protected:
  static bool onPipeWire() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->value_param() != nullptr && GetParam();
  }
  static std::unique_ptr<testing::SoundServer> startServer() {
    if (!onPipeWire()) return std::make_unique<testing::PulseServer>();
    return std::make_unique<testing::PipeWireServer>(testing::documentedBlock(
        MORVIK_SOURCE_DIR "/docs/virtual-mic-protocol.md", "pipewire.conf.d/blackhole-2ch.conf"));
  }
  ChildProcess helper() { return ChildProcess(MORVIK_VIRTUAL_MIC_LINUX, {}, pulse.environment()); }
  std::unique_ptr<testing::SoundServer> server = startServer();
  testing::SoundServer& pulse = *server;
};
INSTANTIATE_TEST_SUITE_P(, VirtualMicPulse, ::testing::Bool(),
                         [](const auto& run) { return run.param ? "PipeWire" : "PulseAudio"; });

const std::string outputFailedLine = R"({"event":"error","message":"虚拟麦克风输出失败"})";

// PulseAudio's monitor gives back the stereo frames bit for bit: every
// pushed sample heard once, in order, left and right alike, with silence
// only between chunks.
::testing::AssertionResult heardExactly(const std::vector<std::int16_t>& frames,
                                        const std::vector<std::int16_t>& pushed) {
  std::size_t next = 0;
  for (std::size_t f = 0; f + 1 < frames.size(); f += 2) {
    if (frames[f] == 0 && frames[f + 1] == 0 && next % 320 == 0) continue;
    if (next == pushed.size() || frames[f] != pushed[next] || frames[f + 1] != pushed[next])
      return ::testing::AssertionFailure()
             << "sample " << next << " of " << pushed.size() << " missing or out of place";
    ++next;
  }
  if (next < pushed.size()) return ::testing::AssertionFailure() << next << " of " << pushed.size() << " samples heard";
  return ::testing::AssertionSuccess();
}

TEST_P(VirtualMicPulse, MonitorHearsEverySampleOfBurstyRecordings) {
  auto recorder = pulse.recordMonitor();
  ChildProcess mic = helper();
  mic.write(lines({prepare}));
  ASSERT_EQ(mic.readLine(), readyLine);
  // As the keyboard delivers it: bursts of 1 to 12 chunks, each sent when its
  // last chunk is due, so real time on average and up to 220 ms late; then
  // recordings of one and two chunks, which "end" must still play.
  std::vector<std::int16_t> pushed;
  int c = 0;
  for (const auto& [session, chunks] : {std::pair<std::uint32_t, int>{1, 300}, {2, 1}, {3, 2}}) {
    mic.write(R"({"op":"start","session":)" + std::to_string(session) + "}\n");
    const auto due = std::chrono::steady_clock::now();
    for (int sent = 0, burst = 0; sent < chunks; ++burst) {
      const int size = std::min(1 + burst * 7 % 12, chunks - sent);
      std::this_thread::sleep_until(due + std::chrono::milliseconds(20 * (sent + size - 1)));
      std::string lines;
      for (int i = 0; i < size; ++i, ++sent, ++c) {
        const auto samples = signalChunk(c);
        pushed.insert(pushed.end(), samples.begin(), samples.end());
        lines += audioLine(session, samples);
      }
      mic.write(lines);
    }
    mic.write(R"({"op":"end","session":)" + std::to_string(session) + "}\n");
    ASSERT_EQ(mic.readLine(), R"({"event":"final","session":)" + std::to_string(session) + R"(,"text":""})");
  }
  // The graph and the recorder may still carry the tail on a loaded machine.
  std::string recording;
  ::testing::AssertionResult result = ::testing::AssertionFailure() << "nothing recorded";
  testing::eventually([&] {
    recording += recorder->readAll(std::chrono::milliseconds(onPipeWire() ? 250 : 20));
    std::vector<std::int16_t> frames(recording.size() / 2);
    std::memcpy(frames.data(), recording.data(), frames.size() * 2);
    result = onPipeWire() ? heardThroughTheGraph(frames, pushed) : heardExactly(frames, pushed);
    return static_cast<bool>(result);
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(mic.wait().status, 0);
  EXPECT_EQ(mic.errorOutput(), "");
}

TEST_F(VirtualMicPulse, IdleOrListenedSinkKeepsUpInRealTimeUndisturbed) {
  // Never suspended and heard by no one, PulseAudio's sink idles in long
  // blocks until the helper restarts it; a slow restart would congest the
  // pushed audio. Then a program already records the monitor at its default
  // latency, which holds the sink in long blocks; a restart would interrupt it.
  ASSERT_EQ(pulse.pactl({"unload-module", "module-suspend-on-idle"}), 0);
  std::optional<ChildProcess> listener;
  for (const bool listened : {false, true}) {
    SCOPED_TRACE(listened ? "listened" : "idle");
    if (listened) {
      listener.emplace("/usr/bin/parec", std::vector<std::string>{"-v", "-d", "blackhole.monitor", "--raw"},
                       pulse.environment());
      ASSERT_TRUE(testing::eventually([&] {
        return !testing::runProcess("/usr/bin/pactl", {"list", "short", "source-outputs"}, {}, pulse.environment())
                    .output.empty();
      }));
    }
    ChildProcess mic = helper();
    mic.write(lines({prepare, startOne}));
    ASSERT_EQ(mic.readLine(), readyLine);
    for (int c = 0; c < 30; ++c) {
      mic.write(audioLine(1, signalChunk(c)));
      EXPECT_EQ(mic.readLine(std::chrono::milliseconds(20)), std::nullopt);  // in real time
    }
    mic.write(lines({R"({"op":"end","session":1})"}));
    EXPECT_EQ(mic.readLine(), finalOne);
  }
  listener->wait(std::chrono::milliseconds(0));
  EXPECT_EQ(listener->errorOutput().find("Stream device suspended"), std::string::npos);
}

TEST_P(VirtualMicPulse, SuspendedSinkCongestsOnPulseAudioAndWakesOnPipeWire) {
  // Pushed in real time, so only a sink that does not play runs the pool dry.
  ASSERT_EQ(pulse.pactl({"suspend-sink", "blackhole", "1"}), 0);
  ChildProcess mic = helper();
  mic.write(lines({prepare, startOne}));
  for (int c = 0; c < 49; ++c) {
    mic.write(audioLine(1, signalChunk(c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  mic.write(lines({R"({"op":"end","session":1})"}));
  mic.closeInput();
  EXPECT_EQ(mic.readAllLines(),
            (Lines{readyLine,
                   onPipeWire() ? finalOne : R"({"event":"error","message":"虚拟麦克风输出拥堵，已停止本轮录音"})"}));
  EXPECT_EQ(mic.wait().status, 0);
}

TEST_P(VirtualMicPulse, MissingSinkIsTheFatalErrorAndStandardErrorStaysEmpty) {
  ASSERT_EQ(pulse.removeSink(), 0);
  // libpulse keeps a cookie in the home folder and complains on standard
  // error when it can neither read nor write one there.
  const auto run = testing::runProcess(MORVIK_VIRTUAL_MIC_LINUX, {}, lines({prepare}),
                                       {pulse.environment()[0], "HOME=/proc", "XDG_CONFIG_HOME=/proc"});
  EXPECT_EQ(
      run.output,
      R"({"event":"error","fatal":true,"message":"请先安装 BlackHole 2ch 虚拟音频驱动，然后重新启用；系统输入选择 BlackHole 2ch。"})"
      "\n");
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_EQ(run.errors, "");
}

TEST_F(VirtualMicPulse, StalledServerIsAnOutputFailureAndRecovers) {
  ChildProcess mic = helper();
  mic.write(lines({prepare}));
  ASSERT_EQ(mic.readLine(), readyLine);
  const pid_t daemon = dynamic_cast<testing::PulseServer&>(pulse).pid();
  ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
  // Neither request waits for the server twice in full, and neither blames the driver.
  mic.write(lines({startOne, prepare}));
  EXPECT_EQ(mic.readLine(), outputFailedLine) << "start";
  EXPECT_EQ(mic.readLine(), outputFailedLine) << "prepare";
  ASSERT_EQ(::kill(daemon, SIGCONT), 0);
  ASSERT_EQ(pulse.pactl({"info"}), 0);
  EXPECT_TRUE(testing::eventually([&] {
    mic.write(lines({prepare}));
    return mic.readLine() == readyLine;
  }));
  EXPECT_EQ(mic.wait().status, 0);
}

TEST(VirtualMicPulseGone, SinkOrServerGoneMidStreamIsAnOutputFailure) {
  for (const bool serverDies : {false, true}) {
    SCOPED_TRACE(serverDies ? "server killed" : "sink unloaded");
    testing::PulseServer own;
    ChildProcess mic(MORVIK_VIRTUAL_MIC_LINUX, {}, own.environment());
    mic.write(lines({prepare, startOne}));
    ASSERT_EQ(mic.readLine(), readyLine);
    std::optional<std::string> answer;
    for (int c = 0; c < 250 && !answer; ++c) {
      if (c == 10) {
        ASSERT_EQ(serverDies ? ::kill(own.pid(), SIGKILL) : own.removeSink(), 0);
      }
      mic.write(audioLine(1, signalChunk(c)));
      answer = mic.readLine(std::chrono::milliseconds(20));  // in real time, as the application pushes
    }
    EXPECT_EQ(answer, outputFailedLine);
    EXPECT_EQ(mic.wait().status, 0);
    EXPECT_EQ(mic.errorOutput(), "");
  }
}

#endif

}  // namespace
}  // namespace morvik::virtualmic
