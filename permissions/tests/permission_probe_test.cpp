// The permission probe against simulated permissions on a manual loop.
#include "permissions/permission_probe.h"

#include <gtest/gtest.h>

#include "channel/manual_loop.h"
#include "permissions/sim/sim_permissions.h"

namespace morvik::permissions {
namespace {

using Lines = std::vector<std::string>;
using std::chrono::seconds;

struct Probe {
  void run(std::vector<std::string> arguments) {
    probe.run(arguments);
    loop.runReady();
  }
  Lines lines() { return out.takeLines(); }

  channel::ManualLoop loop;
  sim::SimPermissions source{loop};
  channel::RecordingOutput out;
  std::vector<int> exits;
  PermissionProbe probe{source, loop, out, [this](int status) { exits.push_back(status); }};
};

TEST(PermissionProbe, CommandsReportAtOnceWhenDecided) {
  const struct {
    std::vector<std::string> arguments;
    int bluetooth, speech;
    bool trusted;
    std::string report;
  } cases[] = {
      {{}, 3, 3, true, R"({"bluetooth":"granted","accessibility":"granted","speech":"granted"})"},
      {{"status"}, 0, 0, false, R"({"bluetooth":"not-determined","accessibility":"denied","speech":"not-determined"})"},
      {{"bluetooth"}, 2, 0, true, R"({"bluetooth":"denied","accessibility":"granted","speech":"not-determined"})"},
      {{"bluetooth"}, 1, 3, true, R"({"bluetooth":"restricted","accessibility":"granted","speech":"granted"})"},
      {{"speech"}, 0, 2, true, R"({"bluetooth":"not-determined","accessibility":"granted","speech":"restricted"})"},
      {{"speech"}, 7, 9, true, R"({"bluetooth":"unknown","accessibility":"granted","speech":"unknown"})"},
  };
  for (const auto& c : cases) {
    Probe p;
    p.source.bluetooth = c.bluetooth;
    p.source.speech = c.speech;
    p.source.trusted = c.trusted;
    p.run(c.arguments);
    EXPECT_EQ(p.lines(), Lines{c.report});
    EXPECT_EQ(p.exits, std::vector<int>{0});
    EXPECT_EQ(p.source.centralManagers + p.source.speechRequests, 0) << "nothing asked";
  }
}

TEST(PermissionProbe, BluetoothRequestWaitsForTheDecision) {
  Probe p;
  p.source.bluetooth = 0;
  p.source.decisionDelay = seconds(30);
  p.run({"bluetooth"});
  EXPECT_EQ(p.source.centralManagers, 1);
  EXPECT_EQ(p.lines(), Lines{}) << "a state update while undecided writes nothing";
  p.source.trusted = false;  // read when the report is written
  p.loop.advance(seconds(30));
  EXPECT_EQ(p.lines(), Lines{R"({"bluetooth":"granted","accessibility":"denied","speech":"granted"})"});
  EXPECT_EQ(p.exits, std::vector<int>{0});
  p.loop.advance(seconds(200));
  EXPECT_EQ(p.lines(), Lines{}) << "the timer finds the report written";
}

TEST(PermissionProbe, SpeechRequestReportsAFreshReading) {
  Probe p;
  p.source.speech = 0;
  p.source.speechDecision = 1;  // denied, handed to the handler
  p.run({"speech"});
  EXPECT_EQ(p.source.speechRequests, 1);
  EXPECT_EQ(p.lines(), Lines{R"({"bluetooth":"granted","accessibility":"granted","speech":"denied"})"});
}

TEST(PermissionProbe, NoDecisionWithin115Seconds) {
  for (const std::string command : {"bluetooth", "speech"}) {
    Probe p;
    p.source.bluetooth = p.source.speech = 0;
    p.source.bluetoothDecision = p.source.speechDecision = std::nullopt;
    p.run({command});
    p.loop.advance(seconds(114));
    EXPECT_EQ(p.lines(), Lines{}) << command;
    p.loop.advance(seconds(1));
    EXPECT_EQ(p.lines(), Lines{R"({"bluetooth":"not-determined","accessibility":"granted","speech":"not-determined"})"})
        << command;
    EXPECT_EQ(p.exits, std::vector<int>{0});
  }
}

}  // namespace
}  // namespace morvik::permissions
