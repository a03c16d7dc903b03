// A connection that never came about, and a lost link.
#include "ble/messages.h"
#include "ble/morvik_ble.h"

namespace morvik::ble {

void MorvikBLE::didFailToConnectPeripheral(const std::shared_ptr<Peripheral>& failed, const BluetoothError& /*error*/) {
  if (!isChosen(failed)) return;
  fail(message::cannotConnect);
}

void MorvikBLE::didDisconnectPeripheral(const std::shared_ptr<Peripheral>& lost, const BluetoothError& /*error*/) {
  if (!isChosen(lost)) return;
  // Cleared first, so that fail does not cancel a connection that is gone.
  peripheral.reset();
  fail(message::disconnected);
  channel::emit(out_, Json{{"event", "disconnected"}});
}

}  // namespace morvik::ble
