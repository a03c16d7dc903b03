#include "permissions/permission_probe.h"

#include <chrono>

namespace morvik::permissions {
namespace {

constexpr auto decisionTime = std::chrono::seconds(115);

}  // namespace

std::string_view bluetoothStatus(int authorization) {
  switch (authorization) {
    case 0:
      return "not-determined";
    case 1:
      return "restricted";
    case 2:
      return "denied";
    case 3:
      return "granted";
    default:
      return "unknown";
  }
}

std::string_view speechStatus(int status) {
  switch (status) {
    case 0:
      return "not-determined";
    case 1:
      return "denied";
    case 2:
      return "restricted";
    case 3:
      return "granted";
    default:
      return "unknown";
  }
}

channel::Json report(PermissionSource& source) {
  return {{"bluetooth", bluetoothStatus(source.bluetoothAuthorization())},
          {"accessibility", source.isProcessTrusted() ? "granted" : "denied"},
          {"speech", speechStatus(source.speechAuthorizationStatus())}};
}

BluetoothRequest::BluetoothRequest(PermissionSource& source, std::function<void()> finish)
    : source_(source), finish_(std::move(finish)) {}

void BluetoothRequest::start() {
  manager = true;
  source_.startCentralManager([this] { centralManagerDidUpdateState(); });
}

void BluetoothRequest::centralManagerDidUpdateState() {
  // The adapter's state is not looked at: only the decision ends the wait.
  if (bluetoothStatus(source_.bluetoothAuthorization()) != "not-determined") finish_();
}

PermissionProbe::PermissionProbe(PermissionSource& source, channel::MainLoop& loop, channel::Output& out, Exit exit)
    : source_(source), loop_(loop), out_(out), exit_(std::move(exit)), requester_(source, [this] { finish(); }) {}

void PermissionProbe::run(const std::vector<std::string>& arguments) {
  command_ = arguments.empty() ? "status" : arguments.front();
  if (command_ == "status") return finish();
  if (command_ == "bluetooth") {
    if (bluetoothStatus(source_.bluetoothAuthorization()) != "not-determined") return finish();
    requester_.start();
  } else if (command_ == "speech") {
    if (speechStatus(source_.speechAuthorizationStatus()) != "not-determined") return finish();
    // The report reads the status afresh; the one handed over is not used.
    source_.requestSpeechAuthorization([this](int) { loop_.post([this] { finish(); }); });
  } else {
    return exit_(2);
  }
  timeout_ = loop_.schedule(decisionTime, false, [this] { finish(); });
}

void PermissionProbe::finish() {
  if (finished_) return;
  finished_ = true;
  channel::emit(out_, report(source_));
  exit_(0);
}

}  // namespace morvik::permissions
