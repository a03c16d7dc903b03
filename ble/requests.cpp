// Construction, request handling and the answers of the bridge.
#include "ble/keyboard_gatt.h"
#include "ble/messages.h"
#include "ble/morvik_ble.h"

namespace morvik::ble {
namespace {

// The largest "maxChunk" (48) plus the 8-byte frame header.
constexpr std::size_t largestConfigurationFrame = 56;
constexpr std::size_t smallestConfigurationFrame = 8;

}  // namespace

MorvikBLE::MorvikBLE(channel::Output& out, channel::MainLoop& loop, const CentralFactory& makeCentral)
    : out_(out),
      loop_(loop),
      serviceID(bluetoothUUID(gatt::configurationService)),
      commandID(bluetoothUUID(gatt::command)),
      responseID(bluetoothUUID(gatt::response)),
      voiceServiceID(bluetoothUUID(gatt::voiceService)),
      voiceCommandID(bluetoothUUID(gatt::voiceCommand)),
      voiceStreamID(bluetoothUUID(gatt::voiceStream)) {
  // Last: from here on the platform may report the adapter state.
  central = makeCentral(*this);
}

MorvikBLE::~MorvikBLE() = default;

void MorvikBLE::receive(const Json& request) {
  const auto id = channel::readInteger(request, "id");
  if (!id) return;
  const auto op = channel::readString(request, "op");
  if (!op) return;
  if (*op == "open") return open(*id, request);
  if (*op == "select") return select(*id, request);
  if (*op == "voiceEnable") return voiceEnable(*id, request);
  if (*op == "voiceWrite") return voiceWrite(*id, request);
  if (*op == "read") return read(*id);
  if (*op == "write") return write(*id, request);
  if (*op == "close") return close(*id);
  reject(*id, message::unsupportedOperation);
}

void MorvikBLE::open(std::int64_t id, const Json& request) {
  if (opening || peripheral) return reject(id, message::connectionInUse);
  opening = id;
  devices.clear();
  const auto preferredText = channel::readString(request, "preferred");
  preferred = preferredText ? channel::parseUuid(*preferredText) : std::nullopt;
  const CentralState state = central->state();
  if (state == CentralState::poweredOn) return discovery();
  // Unknown and resetting wait for the state callback.
  failForAdapterState(state);
}

void MorvikBLE::select(std::int64_t id, const Json& request) {
  const auto deviceText = channel::readString(request, "deviceId");
  const auto deviceId = deviceText ? channel::parseUuid(*deviceText) : std::nullopt;
  const auto found = deviceId ? devices.find(*deviceId) : devices.end();
  if (!opening || peripheral || found == devices.end()) return reject(id, message::chooseFromList);
  if (discoveryTimer) discoveryTimer->invalidate();
  discoveryTimer.reset();
  central->stopScan();
  peripheral = found->second;
  peripheral->setDelegate(this);
  central->connect(peripheral);
  reply(id);
}

bool MorvikBLE::voiceReady() const {
  return !operation && !opening && peripheral && peripheral->state() == PeripheralState::connected && voiceCommand &&
         voiceStream;
}

bool MorvikBLE::configurationReady() const {
  return !operation && !opening && peripheral && peripheral->state() == PeripheralState::connected && command &&
         response;
}

void MorvikBLE::voiceEnable(std::int64_t id, const Json& request) {
  if (!voiceReady()) return reject(id, message::upgradeForMicrophone);
  const auto enabled = channel::readBool(request, "enabled");
  if (!enabled) return reject(id, message::invalidAudioSubscription);
  if (*enabled == voiceStream->isNotifying()) return reply(id);
  operation = Operation{id, "voiceEnable"};
  peripheral->setNotifyValue(*enabled, voiceStream);
}

void MorvikBLE::voiceWrite(std::int64_t id, const Json& request) {
  if (!voiceReady()) return reject(id, message::upgradeForMicrophone);
  const auto data = channel::readBytes(request, "data");
  if (!data || (data->size() != 2 && data->size() != 6)) return reject(id, message::invalidAudioControl);
  operation = Operation{id, "voiceWrite"};
  peripheral->writeValue(*data, voiceCommand, WriteType::withResponse);
}

void MorvikBLE::read(std::int64_t id) {
  if (!configurationReady()) return reject(id, message::configurationNotReady);
  operation = Operation{id, "read"};
  peripheral->readValue(response);
}

void MorvikBLE::write(std::int64_t id, const Json& request) {
  if (!configurationReady()) return reject(id, message::configurationNotReady);
  const auto data = channel::readBytes(request, "data");
  // The limit is taken for writes without response; the write itself asks for one.
  const std::size_t limit =
      std::min(largestConfigurationFrame, peripheral->maximumWriteValueLength(WriteType::withoutResponse));
  if (!data || data->size() < smallestConfigurationFrame || data->size() > limit)
    return reject(id, message::invalidConfigurationData);
  operation = Operation{id, "write"};
  peripheral->writeValue(*data, command, WriteType::withResponse);
}

void MorvikBLE::close(std::int64_t id) {
  fail(message::cancelled);
  reply(id);
}

void MorvikBLE::reply(std::int64_t id, const Json& result) {
  channel::emit(out_, Json{{"id", id}, {"result", result}});
}

void MorvikBLE::reject(std::int64_t id, std::string_view message) {
  channel::emit(out_, Json{{"id", id}, {"error", message}});
}

void MorvikBLE::fail(std::string_view message) {
  if (opening) reject(*std::exchange(opening, std::nullopt), message);
  if (operation) reject(std::exchange(operation, std::nullopt)->id, message);
  if (discoveryTimer) discoveryTimer->invalidate();
  discoveryTimer.reset();
  central->stopScan();
  if (peripheral) central->cancelPeripheralConnection(std::exchange(peripheral, nullptr));
  command.reset();
  response.reset();
  voiceCommand.reset();
  voiceStream.reset();
  discovering.clear();
}

std::optional<std::int64_t> MorvikBLE::takeOperation() {
  if (!operation) return std::nullopt;
  return std::exchange(operation, std::nullopt)->id;
}

}  // namespace morvik::ble
