// The virtual microphone's logic against the simulated devices.
#include "virtual-mic/virtual_mic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "channel/base64.h"
#include "virtual-mic/drain.h"
#include "virtual-mic/messages.h"
#include "virtual-mic/sim/sim_audio.h"

namespace morvik::virtualmic {
namespace {

using Lines = std::vector<std::string>;
namespace msg = message;

// The drain at "end" sleeps on this clock; each sleep lets the device play
// what it would play in that time.
class TestClock final : public WaitClock {
 public:
  TimePoint now() override { return now_; }
  void sleepFor(channel::Duration span) override {
    now_ += span;
    slept += span;
    if (onSleep) onSleep(span);
  }
  std::function<void(channel::Duration)> onSleep;
  channel::Duration slept{};

 private:
  TimePoint now_{};
};

std::string error(std::string_view message) { return channel::serialize({{"event", "error"}, {"message", message}}); }
const std::string ready = R"({"event":"ready","device":"BlackHole 2ch","offline":true})";
const std::string fatal = channel::serialize({{"event", "error"}, {"fatal", true}, {"message", msg::driverMissing}});
std::string final(std::uint32_t s) { return channel::serialize({{"event", "final"}, {"session", s}, {"text", ""}}); }
std::string audio(std::uint32_t s, const channel::Bytes& pcm) {
  return R"({"op":"audio","session":)" + std::to_string(s) + R"(,"pcm":")" + channel::encodeBase64(pcm) + "\"}";
}
std::string chunk(std::uint32_t s) { return audio(s, channel::Bytes(640, 7)); }

struct Mic {
  Mic() { system.playback = sim::Playback::byHand; }
  void send(const std::string& line) { mic.receiveLine(line); }
  Lines lines() { return out.takeLines(); }
  // Prepared, session `s` open, output cleared.
  void open(std::uint32_t s) {
    send(R"({"op":"prepare"})");
    send(R"({"op":"start","session":)" + std::to_string(s) + "}");
    lines();
  }

  sim::SimAudioSystem system;
  TestClock clock;
  channel::RecordingOutput out;
  VirtualMic mic{out, system, clock};
};

TEST(VirtualMicRequests, DispatchAndBadLines) {
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      {"", error(msg::invalidCommand)},
      {"[1]", error(msg::invalidCommand)},
      {R"({"session":1})", error(msg::invalidCommand)},
      {R"({"op":"pause"})", error(msg::unsupportedCommand)},
      {R"({"op":"Prepare"})", error(msg::unsupportedCommand)},
      {R"({"op":"audio","session":1})", error(msg::invalidAudioData)},
      {R"({"op":"audio","session":1,"pcm":"AAA"})", error(msg::invalidAudioData)},
      {R"({"op":"audio","session":2,"pcm":"AAAA"})", error(msg::invalidFrame)},
      {R"({"op":"audio","session":1,"pcm":""})", error(msg::invalidFrame)},
      {audio(1, channel::Bytes(3)), error(msg::invalidFrame)},
      {audio(1, channel::Bytes(641)), error(msg::invalidFrame)},
      {R"({"op":"end","session":2})", ""},
      {R"({"op":"cancel"})", ""},
  };
  for (const auto& c : cases) {
    Mic m;
    m.open(1);
    m.send(c.line);
    EXPECT_EQ(m.lines(), c.expected.empty() ? Lines{} : Lines{c.expected}) << c.line;
    // Every failure closes the recording; a line that answers nothing keeps it.
    EXPECT_EQ(m.system.queue() == nullptr, !c.expected.empty() || c.line == R"({"op":"cancel"})") << c.line;
  }
}

TEST(VirtualMicRequests, SessionNumbersAsThePlatformConvertsThem) {
  const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
      {"0", std::nullopt},
      {"\"5\"", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"4294967297", 1},
      {"-1", 4294967295u},
      {"2.9", 2},
      {"4294967295", 4294967295u},
      {"18446744073709551615", 4294967295u},
  };
  for (const auto& [session, number] : cases) {
    Mic m;
    m.send(R"({"op":"prepare"})");
    m.send(R"({"op":"start","session":)" + session + "}");
    EXPECT_EQ(m.system.queue() != nullptr, number.has_value()) << session;
    if (!number) continue;
    m.lines();
    m.send(chunk(*number));
    EXPECT_EQ(m.lines(), Lines{}) << session;
  }
}

TEST(VirtualMicDevice, FoundByExactNameWithAnIdentifier) {
  const auto other = sim::SimDevice{"MacBook Pro Speakers", "BuiltIn"};
  const struct {
    const char* name;
    std::vector<sim::SimDevice> devices;
    std::string failing;
    std::string expected;
    OSStatus status = -1;
  } cases[] = {
      {"among others", {other, {"BlackHole 2ch", "BH"}}, "", ready},
      {"missing", {other}, "", fatal},
      {"letter case", {{"Blackhole 2ch", "BH"}}, "", fatal},
      {"no identifier", {{"BlackHole 2ch", ""}}, "", fatal},
      {"name unreadable", {{"BlackHole 2ch", "BH", true}}, "", fatal},
      {"identifier unreadable", {{"BlackHole 2ch", "BH", false, true}}, "", fatal},
      {"second of two", {{"BlackHole 2ch", ""}, {"BlackHole 2ch", "BH2"}}, "", ready},
      {"list size unreadable", {{"BlackHole 2ch", "BH"}}, "deviceListSize", fatal},
      {"list unreadable", {{"BlackHole 2ch", "BH"}}, "deviceList", fatal},
      {"no devices", {}, "", fatal},
      {"not answering", {{"BlackHole 2ch", "BH"}}, "deviceListSize", error(msg::outputFailed), hardwareNotRunning},
  };
  for (const auto& c : cases) {
    Mic m;
    m.system.devices = c.devices;
    if (!c.failing.empty()) m.system.failures[c.failing] = c.status;
    m.send(R"({"op":"prepare"})");
    // The event's text, then its line feed, as two writes.
    EXPECT_EQ(m.out.writes, (Lines{c.expected, "\n"})) << c.name;
  }
}

TEST(VirtualMicDevice, PrepareKeepsOrLosesTheDevice) {
  Mic m;
  m.send(R"({"op":"start","session":1})");
  EXPECT_EQ(m.lines(), Lines{error(msg::notPrepared)});
  m.open(1);
  m.system.devices.clear();
  m.send(R"({"op":"start","session":2})");
  EXPECT_EQ(m.lines(), Lines{}) << "a start uses the device found by the last prepare";
  m.send(R"({"op":"prepare"})");
  m.send(R"({"op":"start","session":3})");
  EXPECT_EQ(m.lines(), (Lines{fatal, error(msg::notPrepared)}));
}

TEST(VirtualMicPlayback, EndPlaysWhatWasQueuedThenAnswersFinal) {
  // The device holds fewer than three chunks back until told to drain; a
  // stalled one is waited for a second at most.
  for (const auto& [chunks, stalled] : {std::pair{0, false}, {1, false}, {2, false}, {5, false}, {3, true}}) {
    SCOPED_TRACE(chunks);
    Mic m;
    m.system.records = true;
    if (stalled) m.system.playback = sim::Playback::stalled;
    m.open(4);
    for (int i = 0; i < chunks; ++i) m.send(chunk(4));
    if (!stalled) m.clock.onSleep = [queue = m.system.queue()](channel::Duration span) { queue->advance(span); };
    m.send(R"({"op":"end","session":4})");
    EXPECT_EQ(m.lines(), Lines{final(4)});
    EXPECT_EQ(m.system.queue(), nullptr);
    EXPECT_EQ(m.system.played(), std::vector<std::uint8_t>(stalled ? 0 : chunks * 1280, 7));
    EXPECT_EQ(m.system.lastFormat.channelsPerFrame, 2u);
    EXPECT_EQ(m.system.lastFormat.formatFlags, 12u);
    EXPECT_GE(m.clock.slept, std::chrono::milliseconds(stalled ? 1000 : 0));
    EXPECT_LE(m.clock.slept, std::chrono::milliseconds(stalled ? 1010 : 20 * chunks + 10));
  }
}

TEST(VirtualMicFailures, NoRecordingSurvivesAPlatformFailure) {
  // A platform that does not answer is an output failure, whichever call waited.
  const struct {
    const char* operation;
    std::string message;
    int chunks;
    OSStatus status = -50;
  } cases[] = {
      {"newOutput", std::string(msg::cannotCreateQueue), 0},
      {"setCurrentDevice", std::string(msg::cannotSetDevice), 0},
      {"currentDevice", std::string(msg::deviceCheckFailed), 0},
      {"readsBack", std::string(msg::deviceCheckFailed), 0},
      {"allocateBuffer", std::string(msg::cannotAllocate), 0},
      {"allocateAfterTen", std::string(msg::cannotAllocate), 0},
      {"enqueueBuffer", std::string(msg::outputFailed), 1},
      {"start", std::string(msg::cannotStart), 3},
      {"newOutput", std::string(msg::outputFailed), 0, hardwareNotRunning},
      {"setCurrentDevice", std::string(msg::outputFailed), 0, hardwareNotRunning},
      {"allocateBuffer", std::string(msg::outputFailed), 0, hardwareNotRunning},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    Mic m;
    m.send(R"({"op":"prepare"})");
    m.lines();
    if (std::string(c.operation) == "readsBack") {
      m.system.readsBackDevice = "BuiltInSpeakerDevice";
    } else if (std::string(c.operation) == "allocateAfterTen") {
      m.system.allocationsBeforeFailure = 10;
    } else {
      m.system.failures[c.operation] = c.status;
    }
    m.send(R"({"op":"start","session":1})");
    for (int i = 0; i < c.chunks; ++i) m.send(chunk(1));
    EXPECT_EQ(m.lines(), Lines{error(c.message)});
    EXPECT_EQ(m.system.queue(), nullptr);
    m.send(chunk(1));
    EXPECT_EQ(m.lines(), Lines{error(msg::invalidFrame)});
  }
}

// The stream dies on its own, mid-recording.
TEST(VirtualMicFailures, EndOfAStreamThatDiedWaitsForNothing) {
  Mic m;
  m.open(1);
  for (int i = 0; i < 5; ++i) {
    m.send(chunk(1));
    m.system.queue()->advance(std::chrono::milliseconds(20));
  }
  m.system.queue()->vanish();
  m.send(R"({"op":"end","session":1})");
  EXPECT_EQ(m.lines(), Lines{final(1)});
  EXPECT_EQ(m.clock.slept, channel::Duration{});
  EXPECT_EQ(m.system.queue(), nullptr);
  m.send(R"({"op":"start","session":2})");
  m.send(chunk(2));
  EXPECT_EQ(m.lines(), Lines{}) << "the next recording has a stream of its own";
}

TEST(VirtualMicSessions, CancelStartAndEndOfOtherSessions) {
  Mic m;
  m.open(1);
  m.send(chunk(1));
  m.send(R"({"op":"cancel"})");
  m.send(R"({"op":"end","session":1})");
  EXPECT_EQ(m.lines(), Lines{}) << "cancel is silent, and so is an end without a recording";
  m.send(R"({"op":"start","session":2})");
  m.send(chunk(2));
  m.send(chunk(2));
  EXPECT_FALSE(m.system.queue()->started()) << "a new recording counts its chunks from none";
  m.send(chunk(2));
  EXPECT_TRUE(m.system.queue()->started());
  m.send(R"({"op":"start","session":3})");
  EXPECT_EQ(m.lines(), Lines{}) << "a new start closes the open recording silently";
  m.send(chunk(2));
  EXPECT_EQ(m.lines(), Lines{error(msg::invalidFrame)});
}

TEST(Drain, WaitsForTheDeviceBeforeTrustingAStoppedQueue) {
  const struct {
    std::optional<bool> running;
    bool hasRun;
    std::size_t outstanding;
    bool done;
    const char* why;
  } cases[] = {
      {false, false, 2, false, "started at end, the device not running yet: two chunks still to play"},
      {true, true, 2, false, "playing"},
      {false, true, 1, true, "stopped after it ran"},
      {true, true, 0, true, "every buffer came back"},
      {false, false, 0, true, "nothing was enqueued"},
      {std::nullopt, false, 3, true, "the flag cannot be read"},
  };
  for (const auto& c : cases) EXPECT_EQ(drained(c.running, c.hasRun, c.outstanding), c.done) << c.why;
}

// The pool's one lock under ThreadSanitizer: the device thread hands buffers
// back while the main thread takes them.
TEST(VirtualMicThreads, PoolSharedWithTheAudioThread) {
  sim::SimAudioSystem system;
  system.speed = 400;  // 20 ms of audio in 50 us
  system.records = true;
  channel::RecordingOutput out;
  VirtualMic mic(out, system, steadyClock());
  mic.receiveLine(R"({"op":"prepare"})");
  mic.receiveLine(R"({"op":"start","session":1})");
  out.writes.clear();
  std::vector<std::uint8_t> pushed;
  for (int i = 0; i < 400 && out.writes.empty(); ++i) {
    channel::Bytes pcm(640);
    for (std::size_t j = 0; j < pcm.size(); ++j) pcm[j] = static_cast<std::uint8_t>(i + j);
    mic.receiveLine(audio(1, pcm));
    if (!out.writes.empty()) break;  // congested: the device fell behind
    for (std::size_t j = 0; j < pcm.size(); j += 2)
      pushed.insert(pushed.end(), {pcm[j], pcm[j + 1], pcm[j], pcm[j + 1]});
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  // Whatever was accepted plays in order; all of it unless the device fell
  // behind and the recording stopped.
  const bool congested = !out.writes.empty();
  mic.receiveLine(R"({"op":"end","session":1})");
  EXPECT_GT(pushed.size(), 48u * 1280) << "the pool was recycled";
  const auto played = system.played();
  if (congested) pushed.resize(std::min(pushed.size(), played.size()));
  EXPECT_EQ(played, pushed);
}

}  // namespace
}  // namespace morvik::virtualmic
