// Completions of the characteristic operations, and the voice stream.
#include "ble/messages.h"
#include "ble/morvik_ble.h"

namespace morvik::ble {
namespace {

std::string withDescription(std::string_view prefix, const BluetoothError& error) {
  return std::string(prefix) + *error;
}

}  // namespace

void MorvikBLE::didWriteValueForCharacteristic(const std::shared_ptr<Peripheral>& reporting,
                                               const std::shared_ptr<Characteristic>& characteristic,
                                               const BluetoothError& error) {
  if (!isChosen(reporting)) return;
  if (characteristic != command && characteristic != voiceCommand) return;
  if (!operation || (operation->op != "write" && operation->op != "voiceWrite")) return;
  const auto id = *takeOperation();
  if (error) return reject(id, withDescription(message::writeFailed, error));
  reply(id);
}

void MorvikBLE::didUpdateValueForCharacteristic(const std::shared_ptr<Peripheral>& reporting,
                                                const std::shared_ptr<Characteristic>& characteristic,
                                                const BluetoothError& error) {
  if (!isChosen(reporting) || !characteristic) return;
  if (characteristic == voiceStream) {
    if (error) return;
    if (const auto packet = characteristic->value()) emitVoicePacket(*packet);
    return;
  }
  if (characteristic != response) return;
  if (!operation || operation->op != "read") return;
  const auto id = *takeOperation();
  if (error) return reject(id, withDescription(message::readFailed, error));
  reply(id, channel::byteArray(characteristic->value().value_or(Bytes{})));
}

void MorvikBLE::didUpdateNotificationStateForCharacteristic(const std::shared_ptr<Peripheral>& reporting,
                                                            const std::shared_ptr<Characteristic>& characteristic,
                                                            const BluetoothError& error) {
  if (!isChosen(reporting) || !characteristic || characteristic != voiceStream) return;
  if (!operation || operation->op != "voiceEnable") return;
  const auto id = *takeOperation();
  if (error) return reject(id, withDescription(message::subscriptionFailed, error));
  reply(id);
}

void MorvikBLE::emitVoicePacket(const Bytes& packet) {
  // The one steady flow of the helper: the line is written directly rather
  // than through a JSON tree, byte for byte what emit would write.
  std::string line;
  line.reserve(24 + packet.size() * 4);
  line += R"({"event":"voice","data":[)";
  for (std::size_t i = 0; i < packet.size(); ++i) {
    if (i > 0) line += ',';
    const unsigned value = packet[i];
    if (value >= 100) line += static_cast<char>('0' + value / 100);
    if (value >= 10) line += static_cast<char>('0' + value / 10 % 10);
    line += static_cast<char>('0' + value % 10);
  }
  line += "]}\n";
  out_.write(line);
}

}  // namespace morvik::ble
