#pragma once

// What morvik-permissions reads and asks, with the platform's own values:
// the Bluetooth authorization (CBManager's numbers), the speech-recognition
// authorization status (SFSpeechRecognizer's numbers, which order
// "restricted" and "denied" the other way round), and accessibility trust.

#include <functional>
#include <memory>

#include "channel/main_loop.h"

namespace morvik::permissions {

class PermissionSource {
 public:
  virtual ~PermissionSource() = default;
  // 0 not determined, 1 restricted, 2 denied, 3 allowed always; another value is unknown.
  virtual int bluetoothAuthorization() = 0;
  // 0 not determined, 1 denied, 2 restricted, 3 authorized; another value is unknown.
  virtual int speechAuthorizationStatus() = 0;
  virtual bool isProcessTrusted() = 0;
  // Creates a Bluetooth central manager, with no power alert: creating it
  // is what makes the platform ask. Its state updates call `updated` on the
  // main loop.
  virtual void startCentralManager(std::function<void()> updated) = 0;
  // Asks the user; the answer comes on any thread.
  virtual void requestSpeechAuthorization(std::function<void(int status)> answered) = 0;
};

// The permissions of the platform morvik-permissions is built for.
std::unique_ptr<PermissionSource> makePermissionSource(channel::MainLoop& loop);

}  // namespace morvik::permissions
