#pragma once

// Simulated permissions for tests, demos and app development: every status
// settable, decisions that come after a delay on the main loop's clock or
// never, and by default everything granted.

#include <optional>
#include <vector>

#include "permissions/permission_source.h"

namespace morvik::permissions::sim {

class SimPermissions final : public PermissionSource {
 public:
  explicit SimPermissions(channel::MainLoop& loop) : loop_(loop) {}

  int bluetoothAuthorization() override { return bluetooth; }
  int speechAuthorizationStatus() override { return speech; }
  bool isProcessTrusted() override { return trusted; }
  void startCentralManager(std::function<void()> updated) override;
  void requestSpeechAuthorization(std::function<void(int status)> answered) override;

  int bluetooth = 3;
  int speech = 3;
  bool trusted = true;
  // What the user decides when asked, after `decisionDelay`; none: never.
  std::optional<int> bluetoothDecision = 3;
  std::optional<int> speechDecision = 3;
  channel::Duration decisionDelay{};
  // The state updates a new central manager reports before the decision.
  int undecidedUpdates = 1;
  int centralManagers = 0;
  int speechRequests = 0;

 private:
  channel::MainLoop& loop_;
  std::vector<std::unique_ptr<channel::Timer>> pending_;
};

}  // namespace morvik::permissions::sim
