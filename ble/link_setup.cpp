// From the connection to a keyboard ready for configuration traffic.
#include <algorithm>

#include "ble/messages.h"
#include "ble/morvik_ble.h"

namespace morvik::ble {
namespace {

template <typename Handle>
std::shared_ptr<Handle> firstWithUUID(const std::vector<std::shared_ptr<Handle>>& handles, const BluetoothUUID& uuid) {
  const auto found = std::find_if(handles.begin(), handles.end(), [&](const auto& h) { return h->uuid() == uuid; });
  return found == handles.end() ? nullptr : *found;
}

// The first characteristic with the UUID that also has the property: one
// without it is passed over.
std::shared_ptr<Characteristic> firstUsable(const Service& service, const BluetoothUUID& uuid, std::uint32_t bit) {
  for (const auto& characteristic :
       service.characteristics().value_or(std::vector<std::shared_ptr<Characteristic>>{})) {
    if (characteristic->uuid() == uuid && (characteristic->properties() & bit) != 0) return characteristic;
  }
  return nullptr;
}

constexpr int smallestMaxChunk = 12;
constexpr int largestMaxChunk = 48;
constexpr int frameHeader = 8;

}  // namespace

void MorvikBLE::discoverKeyboardServices() { peripheral->discoverServices({serviceID, voiceServiceID}); }

void MorvikBLE::didConnectPeripheral(const std::shared_ptr<Peripheral>& connected) {
  if (!isChosen(connected) || !opening) return;
  discoverKeyboardServices();
}

void MorvikBLE::didDiscoverServices(const std::shared_ptr<Peripheral>& reporting, const BluetoothError& error) {
  if (!isChosen(reporting) || !opening) return;
  const auto services = peripheral->services();
  const auto configuration = services ? firstWithUUID(*services, serviceID) : nullptr;
  if (error || !configuration) return fail(message::configurationServiceMissing);
  const auto voice = firstWithUUID(*services, voiceServiceID);
  // Only the first instance of each service is set up and waited for; a
  // keyboard that lists a service twice would otherwise never be ready.
  discovering = {configuration};
  if (voice) discovering.push_back(voice);
  peripheral->discoverCharacteristics({commandID, responseID}, configuration);
  if (voice) peripheral->discoverCharacteristics({voiceCommandID, voiceStreamID}, voice);
}

void MorvikBLE::didDiscoverCharacteristicsForService(const std::shared_ptr<Peripheral>& reporting,
                                                     const std::shared_ptr<Service>& service,
                                                     const BluetoothError& error) {
  if (!isChosen(reporting) || !opening) return;
  const auto outstanding = std::find(discovering.begin(), discovering.end(), service);
  if (outstanding == discovering.end()) return;  // late or repeated report
  discovering.erase(outstanding);

  if (service->uuid() == serviceID) {
    command = firstUsable(*service, commandID, property::write);
    response = firstUsable(*service, responseID, property::read);
    if (error || !command || !response) return fail(message::configurationServiceIncomplete);
  } else if (service->uuid() == voiceServiceID) {
    // An error of the optional voice service leaves audio unsupported.
    voiceCommand = firstUsable(*service, voiceCommandID, property::write);
    voiceStream = firstUsable(*service, voiceStreamID, property::notify);
  }
  if (!discovering.empty()) return;
  reply(*std::exchange(opening, std::nullopt), openResult());
}

Json MorvikBLE::openResult() const {
  const auto writable = peripheral->maximumWriteValueLength(WriteType::withoutResponse);
  const int room =
      writable > largestMaxChunk + frameHeader ? largestMaxChunk : static_cast<int>(writable) - frameHeader;
  return Json{{"deviceId", channel::uuidText(peripheral->identifier())},
              {"name", peripheral->name().value_or("Morvik Pro")},
              {"audioSupported", voiceCommand != nullptr && voiceStream != nullptr},
              {"maxChunk", std::clamp(room, smallestMaxChunk, largestMaxChunk)}};
}

void MorvikBLE::didModifyServices(const std::shared_ptr<Peripheral>& reporting,
                                  const std::vector<std::shared_ptr<Service>>& invalidatedServices) {
  if (!isChosen(reporting)) return;
  const bool ours = std::any_of(invalidatedServices.begin(), invalidatedServices.end(), [&](const auto& service) {
    return service->uuid() == serviceID || service->uuid() == voiceServiceID;
  });
  if (!ours) return;
  command.reset();
  response.reset();
  voiceCommand.reset();
  voiceStream.reset();
  discovering.clear();
  if (opening) return discoverKeyboardServices();
  fail(message::servicesChanged);
  channel::emit(out_, Json{{"event", "disconnected"}});
}

}  // namespace morvik::ble
