#include "permissions/sim/sim_permissions.h"

namespace morvik::permissions::sim {

void SimPermissions::startCentralManager(std::function<void()> updated) {
  ++centralManagers;
  // The adapter's state comes first, while the user has not decided.
  for (int i = 0; i < undecidedUpdates; ++i) loop_.post(updated);
  if (!bluetoothDecision) return;
  pending_.push_back(loop_.schedule(decisionDelay, false, [this, updated, made = *bluetoothDecision] {
    bluetooth = made;
    updated();
  }));
}

void SimPermissions::requestSpeechAuthorization(std::function<void(int status)> answered) {
  ++speechRequests;
  if (!speechDecision) return;
  pending_.push_back(loop_.schedule(decisionDelay, false, [this, answered, made = *speechDecision] {
    speech = made;
    answered(made);
  }));
}

}  // namespace morvik::permissions::sim
