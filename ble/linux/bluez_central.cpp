#include "ble/linux/bluez_central.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "ble/linux/bluez_names.h"
#include "ble/linux/device_identifier.h"

namespace morvik::ble::linux {
namespace {

using Properties = std::map<std::string, sdbus::Variant>;

template <typename T>
std::optional<T> property(const Properties& properties, const char* name) {
  const auto found = properties.find(name);
  if (found == properties.end()) return std::nullopt;
  try {
    if (!found->second.containsValueOfType<T>()) return std::nullopt;
    return found->second.get<T>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

std::vector<BluetoothUUID> parseUUIDs(const std::vector<std::string>& texts) {
  std::vector<BluetoothUUID> uuids;
  for (const auto& text : texts)
    if (auto uuid = parseBluetoothUUID(text)) uuids.push_back(*uuid);
  return uuids;
}

constexpr auto adapterGraceTime = std::chrono::seconds(3);
// The signals of one removal arrive one by one: a device removed within this
// time after its services went with them.
constexpr auto serviceChangeSettleTime = std::chrono::milliseconds(100);

bool isAccessDenied(const sdbus::Error& error) {
  return error.getName() == "org.freedesktop.DBus.Error.AccessDenied" ||
         error.getName() == "org.bluez.Error.NotAuthorized" || error.getName() == "org.bluez.Error.NotPermitted";
}

}  // namespace

BluezCentral::BluezCentral(CentralManagerDelegate& delegate, channel::AsioLoop& loop,
                           std::unique_ptr<sdbus::IConnection> bus)
    : delegate_(delegate), loop_(loop), bus_(std::move(bus)) {
  if (!bus_) {
    loop_.post([this] { setState(CentralState::unsupported); });
    return;
  }
  pump_ = std::make_unique<BusPump>(loop_.context(), *bus_, [this] { busLost(); });
  try {
    subscribe();
  } catch (const sdbus::Error&) {
    loop_.post([this] { setState(CentralState::unsupported); });
    return;
  }
  loadObjects();
}

BluezCentral::~BluezCentral() = default;

void BluezCentral::subscribe() {
  const std::string fromBluez = std::string("type='signal',sender='") + bluez::service + "',";
  matches_.push_back(bus_->addMatch(fromBluez + "interface='" + bluez::objectManager + "',member='InterfacesAdded'",
                                    [this](sdbus::Message& message) {
                                      sdbus::ObjectPath path;
                                      Interfaces interfaces;
                                      message >> path >> interfaces;
                                      onInterfacesAdded(path, interfaces);
                                    }));
  matches_.push_back(bus_->addMatch(fromBluez + "interface='" + bluez::objectManager + "',member='InterfacesRemoved'",
                                    [this](sdbus::Message& message) {
                                      sdbus::ObjectPath path;
                                      std::vector<std::string> interfaces;
                                      message >> path >> interfaces;
                                      onInterfacesRemoved(path, interfaces);
                                    }));
  matches_.push_back(bus_->addMatch(fromBluez + "interface='" + bluez::properties + "',member='PropertiesChanged'",
                                    [this](sdbus::Message& message) {
                                      std::string interface;
                                      Properties changed;
                                      message >> interface >> changed;
                                      onPropertiesChanged(message.getPath(), interface, changed);
                                    }));
  matches_.push_back(bus_->addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
          std::string(bluez::service) + "'",
      [this](sdbus::Message& message) {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (newOwner.empty()) return daemonGone();
        // bluetoothd is back; its objects tell the state, and its adapters
        // get their full time to show up.
        adapterGrace_.reset();
        loadObjects();
      }));
}

void BluezCentral::call(const std::string& path, const std::string& interface, const std::string& method,
                        const Arguments& arguments, Reply reply) {
  // Shared, so that the failure path still holds the handler the call took.
  auto handler = std::make_shared<Reply>(std::move(reply));
  const auto fail = [this, handler](const sdbus::Error& error) {
    loop_.post([handler, error] {
      sdbus::MethodReply none;
      (*handler)(none, &error);
    });
  };
  if (!bus_ || busBroken_) return fail(sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "No system bus"));
  try {
    auto& proxy = proxies_[path];
    if (!proxy) proxy = sdbus::createProxy(*bus_, bluez::service, path);
    auto message = proxy->createMethodCall(interface, method);
    arguments(message);
    proxy->callMethod(message, [handler](sdbus::MethodReply& answer, const sdbus::Error* error) {
      try {
        (*handler)(answer, error);
      } catch (const sdbus::Error& malformed) {
        // A reply of the wrong shape counts as a failed call.
        sdbus::MethodReply none;
        (*handler)(none, &malformed);
      }
    });
  } catch (const sdbus::Error& error) {
    return fail(error);
  }
  // What was queued goes out once the current task is done.
  loop_.post([this] { pump_->pump(); });
}

void BluezCentral::loadObjects() {
  call(
      "/", bluez::objectManager, "GetManagedObjects", [](sdbus::MethodCall&) {},
      [this](sdbus::MethodReply& reply, const sdbus::Error* error) {
        if (error != nullptr) {
          // A bluetoothd that left without answering may be restarting:
          // the grace time decides.
          if (state_ == CentralState::resetting && !isAccessDenied(*error)) return awaitAdapter();
          return setState(isAccessDenied(*error) ? CentralState::unauthorized : CentralState::unsupported);
        }
        std::map<sdbus::ObjectPath, Interfaces> objects;
        reply >> objects;
        // Held until the list is read, so that a device still there keeps its handle.
        const auto known = std::move(devices_);
        forgetObjects();
        // Paths sort parents first: adapters before devices before services.
        for (const auto& [path, interfaces] : objects) {
          for (const auto& [name, properties] : interfaces) {
            if (name == bluez::adapter) addAdapter(path, properties);
            if (name == bluez::device) updateDevice(*deviceAt(path), properties);
            if (name == bluez::gattService) addService(path, properties);
            if (name == bluez::gattCharacteristic) addCharacteristic(path, properties);
          }
        }
        chooseAdapter();
        updateAdapterState();
      });
}

void BluezCentral::forgetObjects() {
  adapters_.clear();
  devices_.clear();
  services_.clear();
  characteristics_.clear();
  // Proxies stay: they name paths of org.bluez, whoever owns it now, and one
  // of them may be delivering the reply that runs this.
  adapterPath_.clear();
  startingScan_ = scanStartedHere_ = false;
}

void BluezCentral::daemonGone() {
  adapterGrace_.reset();
  // The links went with bluetoothd; the handles stay for its return.
  auto known = devices_;
  dropAllLinks();
  forgetObjects();
  devices_ = std::move(known);
  // It may never come back: then there is no adapter.
  awaitAdapter();
  setState(CentralState::resetting);
}

void BluezCentral::busLost() {
  busBroken_ = true;
  adapterGrace_.reset();
  dropAllLinks();
  forgetObjects();
  setState(CentralState::unsupported);
}

void BluezCentral::setState(CentralState state) {
  if (state == state_) return;
  state_ = state;
  if (state_ != CentralState::poweredOn) startingScan_ = scanStartedHere_ = false;
  delegate_.centralManagerDidUpdateState();
}

void BluezCentral::chooseAdapter() { adapterPath_ = adapters_.empty() ? std::string() : adapters_.begin()->first; }

void BluezCentral::updateAdapterState() {
  if (!adapterPath_.empty()) {
    adapterGrace_.reset();
    return setState(adapters_[adapterPath_].second ? CentralState::poweredOn : CentralState::poweredOff);
  }
  if (state_ == CentralState::resetting) return awaitAdapter();
  setState(CentralState::unsupported);
}

void BluezCentral::awaitAdapter() {
  // A restarted bluetoothd owns its name a moment before it lists its
  // adapters: the adapter stays "resetting" for that moment, and no longer.
  if (!adapterGrace_)
    adapterGrace_ = loop_.schedule(adapterGraceTime, false, [this] { setState(CentralState::unsupported); });
}

void BluezCentral::addAdapter(const std::string& path, const Properties& properties) {
  auto& [address, powered] = adapters_[path];
  address = property<std::string>(properties, "Address").value_or(address);
  powered = property<bool>(properties, "Powered").value_or(powered);
  // Devices seen before their adapter get their identifiers now.
  for (const auto& [devicePath, device] : devices_)
    if (device->adapterPath_ == path) device->identifier_ = deviceIdentifier(address, device->address_);
}

void BluezCentral::updateDevice(BluezPeripheral& device, const Properties& properties) {
  if (auto adapter = property<sdbus::ObjectPath>(properties, "Adapter")) device.adapterPath_ = *adapter;
  if (auto address = property<std::string>(properties, "Address")) device.address_ = *address;
  if (properties.count("Adapter") || properties.count("Address")) {
    const auto adapter = adapters_.find(device.adapterPath_);
    const std::string adapterAddress = adapter == adapters_.end() ? std::string() : adapter->second.first;
    device.identifier_ = deviceIdentifier(adapterAddress, device.address_);
  }
  if (auto name = property<std::string>(properties, "Name")) device.name_ = *name;
  if (auto uuids = property<std::vector<std::string>>(properties, "UUIDs")) device.uuids_ = parseUUIDs(*uuids);
  if (auto connected = property<bool>(properties, "Connected")) device.connected_ = *connected;
  if (auto resolved = property<bool>(properties, "ServicesResolved")) device.servicesResolved_ = *resolved;
  if (auto paired = property<bool>(properties, "Paired")) device.paired_ = *paired;
}

std::shared_ptr<BluezPeripheral> BluezCentral::deviceAt(const std::string& path) {
  auto& device = devices_[path];
  if (device) return device;
  // A device that bluetoothd drops and lists again (on a restart, or when it
  // forgets and sees it anew) keeps the handle the bridge may hold: a
  // second handle would never hear of the link the first one asked for.
  std::erase_if(handles_, [](const auto& entry) { return entry.second.expired(); });
  device = handles_[path].lock();
  if (!device) device = std::make_shared<BluezPeripheral>(*this, path);
  handles_[path] = device;
  return device;
}

void BluezCentral::addService(const std::string& path, const Properties& properties) {
  const auto device = property<sdbus::ObjectPath>(properties, "Device");
  const auto uuid = property<std::string>(properties, "UUID");
  if (!device || !uuid || !parseBluetoothUUID(*uuid)) return;
  auto& service = services_[path];
  if (!service) service = std::make_shared<BluezService>(path, *device);
  service->uuid_ = *parseBluetoothUUID(*uuid);
}

void BluezCentral::addCharacteristic(const std::string& path, const Properties& properties) {
  const auto service = property<sdbus::ObjectPath>(properties, "Service");
  const auto uuid = property<std::string>(properties, "UUID");
  if (!service || !uuid || !parseBluetoothUUID(*uuid)) return;
  auto& characteristic = characteristics_[path];
  if (!characteristic) characteristic = std::make_shared<BluezCharacteristic>(path, *service);
  characteristic->uuid_ = *parseBluetoothUUID(*uuid);
  characteristic->properties_ =
      propertiesFromFlags(property<std::vector<std::string>>(properties, "Flags").value_or(std::vector<std::string>{}));
  if (auto value = property<std::vector<std::uint8_t>>(properties, "Value")) characteristic->value_ = *value;
  characteristic->notifying_ = property<bool>(properties, "Notifying").value_or(false);
  if (auto mtu = property<std::uint16_t>(properties, "MTU")) characteristic->mtu_ = *mtu;
}

std::vector<std::shared_ptr<BluezService>> BluezCentral::servicesOf(const std::string& devicePath) const {
  std::vector<std::shared_ptr<BluezService>> found;
  for (const auto& [path, service] : services_)
    if (service->devicePath == devicePath) found.push_back(service);
  return found;
}

std::vector<std::shared_ptr<BluezCharacteristic>> BluezCentral::characteristicsOf(
    const std::string& servicePath) const {
  std::vector<std::shared_ptr<BluezCharacteristic>> found;
  for (const auto& [path, characteristic] : characteristics_)
    if (characteristic->servicePath == servicePath) found.push_back(characteristic);
  return found;
}

void BluezCentral::onInterfacesAdded(const std::string& path, const Interfaces& interfaces) {
  for (const auto& [name, properties] : interfaces) {
    if (name == bluez::adapter) {
      addAdapter(path, properties);
      chooseAdapter();
      updateAdapterState();
    } else if (name == bluez::device) {
      const auto device = deviceAt(path);
      updateDevice(*device, properties);
      if (isScanning() && device->adapterPath_ == adapterPath_)
        delegate_.didDiscoverPeripheral(device, {device->name_},
                                        property<std::int16_t>(properties, "RSSI").value_or(0));
    } else if (name == bluez::gattService) {
      addService(path, properties);
      const auto service = services_.find(path);
      if (service == services_.end()) continue;
      const auto device = devices_.find(service->second->devicePath);
      // A service added to a ready link is a change of its services; none was removed.
      if (device != devices_.end() && device->second->state_ == PeripheralState::connected &&
          device->second->linkUp() && device->second->delegate())
        device->second->delegate()->didModifyServices(device->second, {});
    } else if (name == bluez::gattCharacteristic) {
      addCharacteristic(path, properties);
    }
  }
}

void BluezCentral::onInterfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
  for (const auto& name : interfaces) {
    if (name == bluez::adapter) {
      adapters_.erase(path);
      chooseAdapter();
      updateAdapterState();
    } else if (name == bluez::device) {
      removeDevice(path);
    } else if (name == bluez::gattService) {
      removeService(path);
    } else if (name == bluez::gattCharacteristic) {
      const auto found = characteristics_.find(path);
      if (found == characteristics_.end()) continue;
      const auto service = services_.find(found->second->servicePath);
      if (service != services_.end() && service->second->discovered_)
        std::erase(*service->second->discovered_, std::shared_ptr<Characteristic>(found->second));
      characteristics_.erase(found);
      proxies_.erase(path);
    }
  }
}

void BluezCentral::removeDevice(const std::string& path) {
  const auto found = devices_.find(path);
  if (found == devices_.end()) return;
  const auto device = found->second;
  // The object is gone with its link: its services go as part of that.
  device->connected_ = device->servicesResolved_ = false;
  for (const auto& service : servicesOf(path)) removeService(service->path);
  devices_.erase(found);
  proxies_.erase(path);
  deviceConnectionChanged(device);
}

void BluezCentral::removeService(const std::string& path) {
  const auto found = services_.find(path);
  if (found == services_.end()) return;
  const auto service = found->second;
  for (const auto& characteristic : characteristicsOf(path)) {
    characteristics_.erase(characteristic->path);
    proxies_.erase(characteristic->path);
  }
  services_.erase(found);
  proxies_.erase(path);
  const auto device = devices_.find(service->devicePath);
  if (device == devices_.end()) return;
  auto& peripheral = device->second;
  if (peripheral->discovered_) std::erase(*peripheral->discovered_, std::shared_ptr<Service>(service));
  // bluetoothd unresolves the services of a link that is going before it
  // removes them: only a removal from a resolved link can be a change of
  // services, and only if the device itself stays.
  if (peripheral->state_ != PeripheralState::connected || !peripheral->linkUp()) return;
  peripheral->invalidated_.push_back(service);
  if (peripheral->serviceChange_) return;
  peripheral->serviceChange_ = loop_.schedule(serviceChangeSettleTime, false, [this, peripheral] {
    peripheral->serviceChange_.reset();
    auto invalidated = std::exchange(peripheral->invalidated_, {});
    const bool stays = devices_.count(peripheral->path) != 0;
    if (stays && peripheral->state_ == PeripheralState::connected && peripheral->linkUp() && peripheral->delegate())
      peripheral->delegate()->didModifyServices(peripheral, invalidated);
  });
}

void BluezCentral::onPropertiesChanged(const std::string& path, const std::string& interface,
                                       const Properties& changed) {
  if (interface == bluez::adapter) {
    if (!adapters_.count(path)) return;
    addAdapter(path, changed);
    if (path == adapterPath_) updateAdapterState();
  } else if (interface == bluez::device) {
    const auto found = devices_.find(path);
    if (found == devices_.end()) return;
    const auto device = found->second;
    updateDevice(*device, changed);
    if (isScanning() && device->adapterPath_ == adapterPath_)
      delegate_.didDiscoverPeripheral(device, {device->name_}, property<std::int16_t>(changed, "RSSI").value_or(0));
    if (changed.count("Connected") || changed.count("ServicesResolved")) deviceConnectionChanged(device);
  } else if (interface == bluez::gattCharacteristic) {
    const auto found = characteristics_.find(path);
    if (found == characteristics_.end()) return;
    const auto characteristic = found->second;
    if (auto notifying = property<bool>(changed, "Notifying")) characteristic->notifying_ = *notifying;
    if (auto mtu = property<std::uint16_t>(changed, "MTU")) characteristic->mtu_ = *mtu;
    const auto value = property<std::vector<std::uint8_t>>(changed, "Value");
    if (!value || !characteristic->notifying_) return;
    characteristic->value_ = *value;
    const auto service = services_.find(characteristic->servicePath);
    if (service == services_.end()) return;
    const auto device = devices_.find(service->second->devicePath);
    if (device != devices_.end() && device->second->delegate())
      device->second->delegate()->didUpdateValueForCharacteristic(device->second, characteristic, std::nullopt);
  }
}

void BluezCentral::scanForPeripherals() {
  if (state_ != CentralState::poweredOn || isScanning() || adapterPath_.empty()) return;
  startingScan_ = true;
  const auto generation = ++scanGeneration_;
  const std::string adapter = adapterPath_;
  call(
      adapter, bluez::adapter, "SetDiscoveryFilter",
      [](sdbus::MethodCall& call) {
        call << std::map<std::string, sdbus::Variant>{{"Transport", sdbus::Variant(std::string("le"))},
                                                      {"DuplicateData", sdbus::Variant(false)}};
      },
      [](sdbus::MethodReply&, const sdbus::Error*) {});
  call(
      adapter, bluez::adapter, "StartDiscovery", [](sdbus::MethodCall&) {},
      [this, generation, adapter](sdbus::MethodReply&, const sdbus::Error* error) {
        if (generation != scanGeneration_) {
          // Stopped while starting: undo a start that went through, unless a
          // newer search wants it (its own start finds it running).
          if (error == nullptr && !isScanning())
            call(
                adapter, bluez::adapter, "StopDiscovery", [](sdbus::MethodCall&) {}, [](auto&, auto) {});
          return;
        }
        startingScan_ = false;
        // bluetoothd runs one discovery per client and answers a second
        // start with InProgress: ours runs. Another failure is retried by
        // the next discovery tick.
        if (error == nullptr || error->getName() == "org.bluez.Error.InProgress") scanStartedHere_ = true;
      });
}

void BluezCentral::stopScan() {
  ++scanGeneration_;
  const bool ours = scanStartedHere_;
  startingScan_ = scanStartedHere_ = false;
  if (ours && !adapterPath_.empty())
    call(
        adapterPath_, bluez::adapter, "StopDiscovery", [](sdbus::MethodCall&) {}, [](auto&, auto) {});
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrievePeripherals(const std::vector<Uuid>& identifiers) {
  std::vector<std::shared_ptr<Peripheral>> found;
  for (const auto& [path, device] : devices_) {
    if (device->adapterPath_ != adapterPath_) continue;
    if (std::find(identifiers.begin(), identifiers.end(), device->identifier_) != identifiers.end())
      found.push_back(device);
  }
  return found;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrieveConnectedPeripherals(
    const std::vector<BluetoothUUID>& serviceUUIDs) {
  std::vector<std::shared_ptr<Peripheral>> found;
  for (const auto& entry : devices_) {
    const auto& device = entry.second;
    if (device->adapterPath_ != adapterPath_ || !device->connected_) continue;
    const auto& offered = device->uuids_;
    const bool offers = std::any_of(serviceUUIDs.begin(), serviceUUIDs.end(), [&](const auto& uuid) {
      return std::find(offered.begin(), offered.end(), uuid) != offered.end();
    });
    if (offers) found.push_back(device);
  }
  return found;
}

}  // namespace morvik::ble::linux
