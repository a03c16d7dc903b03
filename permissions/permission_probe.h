#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channel/json.h"
#include "channel/main_loop.h"
#include "channel/output.h"
#include "permissions/permission_source.h"

namespace morvik::permissions {

std::string_view bluetoothStatus(int authorization);
std::string_view speechStatus(int status);

// {"bluetooth","accessibility","speech"}, each read now.
channel::Json report(PermissionSource& source);

// Asks for the Bluetooth permission by creating a central manager, and
// finishes once the platform reports a decided status.
class BluetoothRequest {
 public:
  BluetoothRequest(PermissionSource& source, std::function<void()> finish);
  void start();
  void centralManagerDidUpdateState();

 private:
  PermissionSource& source_;
  std::function<void()> finish_;
  bool manager = false;
};

// The probe of one command: reports at once, or asks and reports once the
// user decided or 115 seconds passed. `exit` ends the process.
class PermissionProbe {
 public:
  using Exit = std::function<void(int status)>;
  PermissionProbe(PermissionSource& source, channel::MainLoop& loop, channel::Output& out, Exit exit);

  // The arguments after the program path; the first is the command, "status" when none.
  void run(const std::vector<std::string>& arguments);
  // Writes the report and ends the process with status 0; only the first call counts.
  void finish();

  const std::string& command() const { return command_; }
  BluetoothRequest& requester() { return requester_; }

 private:
  PermissionSource& source_;
  channel::MainLoop& loop_;
  channel::Output& out_;
  Exit exit_;
  std::string command_;
  BluetoothRequest requester_;
  std::unique_ptr<channel::Timer> timeout_;
  bool finished_ = false;
};

}  // namespace morvik::permissions
