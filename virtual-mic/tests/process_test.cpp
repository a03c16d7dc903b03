// morvik-virtual-mic as the application drives it: the simulated devices
// always, and on Linux a PulseAudio server of the test's own whose null sink
// is described as "BlackHole 2ch", recorded through its monitor.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "channel/base64.h"
#include "testsupport/process.h"
#ifdef MORVIK_VIRTUAL_MIC_LINUX
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
class VirtualMicPulse : public ::testing::Test {
 protected:
  ChildProcess helper() { return ChildProcess(MORVIK_VIRTUAL_MIC_LINUX, {}, pulse.environment()); }
  testing::PulseServer pulse;
};

TEST_F(VirtualMicPulse, MonitorHearsThePushedSamplesWidenedInOrderAndComplete) {
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

TEST_F(VirtualMicPulse, IdleSinkWithoutListenerKeepsUpInRealTime) {
  // Never suspended and heard by no one, the sink idles in long blocks until
  // the helper restarts it; a slow restart would congest the pushed audio.
  ASSERT_EQ(pulse.pactl({"unload-module", "module-suspend-on-idle"}), 0);
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

TEST_F(VirtualMicPulse, SuspendedSinkCongestsTheRecording) {
  ASSERT_EQ(pulse.pactl({"suspend-sink", "blackhole", "1"}), 0);
  ChildProcess mic(MORVIK_VIRTUAL_MIC_LINUX, {}, pulse.environment());
  std::string lines = R"({"op":"prepare"})"
                      "\n"
                      R"({"op":"start","session":1})"
                      "\n";
  for (int c = 0; c < 49; ++c) lines += audioLine(1, signalChunk(c));
  mic.write(lines);
  EXPECT_EQ(mic.readLine(), R"({"event":"ready","device":"BlackHole 2ch","offline":true})");
  EXPECT_EQ(mic.readLine(), R"({"event":"error","message":"虚拟麦克风输出拥堵，已停止本轮录音"})");
  EXPECT_EQ(mic.wait().status, 0);
}

TEST_F(VirtualMicPulse, MissingSinkIsTheFatalError) {
  ASSERT_EQ(pulse.pactl({"unload-module", "module-null-sink"}), 0);
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
