// The Bluetooth LE central over CoreBluetooth (Objective-C++, ARC). One
// delegate object serves the central manager and the chosen peripheral;
// CoreBluetooth calls it on the main dispatch queue, so every callback
// reaches the bridge on the main thread. The helper runs a bare run loop
// with no AppKit to drain autorelease pools, so every entry from the run
// loop drains its own.
#import <CoreBluetooth/CoreBluetooth.h>
#import <Foundation/Foundation.h>

#include <memory>

#include "ble/darwin/core_bluetooth_central.h"
#include "ble/darwin/handle_map.h"
#include "ble/darwin/uuid_text.h"
#include "channel/darwin/ns_string.h"

namespace morvik::ble::darwin {
namespace {

class DarwinCentral;

using channel::darwin::nsString;
using channel::darwin::utf8;
using channel::darwin::optionalUtf8;

BluetoothError errorOf(NSError* error) {
  if (error == nil) return std::nullopt;
  return utf8(error.localizedDescription);
}

Bytes bytesOf(NSData* data) {
  const auto* begin = static_cast<const std::uint8_t*>(data.bytes);
  return Bytes(begin, begin + data.length);
}

BluetoothUUID uuidOf(CBUUID* uuid) { return parseBluetoothUUID(utf8(uuid.UUIDString)).value_or(BluetoothUUID{}); }

CBUUID* cbUUID(const BluetoothUUID& uuid) { return [CBUUID UUIDWithString:nsString(cbUUIDText(uuid))]; }

NSArray<CBUUID*>* cbUUIDs(const std::vector<BluetoothUUID>& uuids) {
  NSMutableArray<CBUUID*>* list = [NSMutableArray arrayWithCapacity:uuids.size()];
  for (const auto& uuid : uuids) [list addObject:cbUUID(uuid)];
  return list;
}

Uuid identifierOf(NSUUID* identifier) {
  Uuid uuid;
  [identifier getUUIDBytes:uuid.bytes.data()];
  return uuid;
}

class DarwinCharacteristic final : public Characteristic {
 public:
  explicit DarwinCharacteristic(CBCharacteristic* characteristic) : object(characteristic) {}
  BluetoothUUID uuid() const override { return uuidOf(object.UUID); }
  std::uint32_t properties() const override { return static_cast<std::uint32_t>(object.properties); }
  std::optional<Bytes> value() const override {
    NSData* value = object.value;
    if (value == nil) return std::nullopt;
    return bytesOf(value);
  }
  bool isNotifying() const override { return object.isNotifying; }

  CBCharacteristic* const object;
};

class DarwinService final : public Service {
 public:
  DarwinService(CBService* service, DarwinCentral& central) : object(service), central_(central) {}
  BluetoothUUID uuid() const override { return uuidOf(object.UUID); }
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const override;

  CBService* const object;

 private:
  DarwinCentral& central_;
};

class DarwinPeripheral final : public Peripheral {
 public:
  DarwinPeripheral(CBPeripheral* peripheral, DarwinCentral& central) : object(peripheral), central_(central) {}

  Uuid identifier() const override { return identifierOf(object.identifier); }
  std::optional<std::string> name() const override { return optionalUtf8(object.name); }
  PeripheralState state() const override { return static_cast<PeripheralState>(object.state); }
  void setDelegate(PeripheralDelegate* delegate) override;
  void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) override {
    @autoreleasepool {
      [object discoverServices:cbUUIDs(serviceUUIDs)];
    }
  }
  std::optional<std::vector<std::shared_ptr<Service>>> services() const override;
  void discoverCharacteristics(const std::vector<BluetoothUUID>& characteristicUUIDs,
                               const std::shared_ptr<Service>& service) override {
    @autoreleasepool {
      if (auto target = std::dynamic_pointer_cast<DarwinService>(service))
        [object discoverCharacteristics:cbUUIDs(characteristicUUIDs) forService:target->object];
    }
  }
  void readValue(const std::shared_ptr<Characteristic>& characteristic) override {
    @autoreleasepool {
      if (auto target = std::dynamic_pointer_cast<DarwinCharacteristic>(characteristic))
        [object readValueForCharacteristic:target->object];
    }
  }
  void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic, WriteType type) override {
    @autoreleasepool {
      auto target = std::dynamic_pointer_cast<DarwinCharacteristic>(characteristic);
      if (!target) return;
      NSData* bytes = [NSData dataWithBytes:data.data() length:data.size()];
      [object writeValue:bytes
          forCharacteristic:target->object
                       type:type == WriteType::withResponse ? CBCharacteristicWriteWithResponse
                                                            : CBCharacteristicWriteWithoutResponse];
    }
  }
  void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) override {
    @autoreleasepool {
      if (auto target = std::dynamic_pointer_cast<DarwinCharacteristic>(characteristic))
        [object setNotifyValue:enabled forCharacteristic:target->object];
    }
  }
  std::size_t maximumWriteValueLength(WriteType type) const override {
    @autoreleasepool {
      return [object maximumWriteValueLengthForType:type == WriteType::withResponse
                                                        ? CBCharacteristicWriteWithResponse
                                                        : CBCharacteristicWriteWithoutResponse];
    }
  }

  PeripheralDelegate* delegate = nullptr;
  // Replaced when CoreBluetooth gives a new object for the same keyboard.
  CBPeripheral* object;

 private:
  DarwinCentral& central_;
};

}  // namespace
}  // namespace morvik::ble::darwin

@interface MorvikBluetoothDelegate : NSObject <CBCentralManagerDelegate, CBPeripheralDelegate>
- (instancetype)initWithCentral:(morvik::ble::darwin::DarwinCentral*)central;
@end

namespace morvik::ble::darwin {
namespace {

class DarwinCentral final : public CentralManager {
 public:
  explicit DarwinCentral(CentralManagerDelegate& delegate) : delegate(delegate) {
    @autoreleasepool {
      bridge_ = [[MorvikBluetoothDelegate alloc] initWithCentral:this];
      // No alert of the platform's own when Bluetooth is off: the app says it.
      manager_ = [[CBCentralManager alloc] initWithDelegate:bridge_
                                                      queue:dispatch_get_main_queue()
                                                    options:@{
                                                      CBCentralManagerOptionShowPowerAlertKey : @NO
                                                    }];
    }
  }

  CentralState state() const override { return static_cast<CentralState>(manager_.state); }
  void scanForPeripherals() override {
    @autoreleasepool {
      [manager_ scanForPeripheralsWithServices:nil options:@{CBCentralManagerScanOptionAllowDuplicatesKey : @NO}];
    }
  }
  bool isScanning() const override { return manager_.isScanning; }
  void stopScan() override {
    @autoreleasepool {
      [manager_ stopScan];
    }
  }

  std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<Uuid>& identifiers) override {
    @autoreleasepool {
      NSMutableArray<NSUUID*>* list = [NSMutableArray arrayWithCapacity:identifiers.size()];
      for (const auto& identifier : identifiers)
        [list addObject:[[NSUUID alloc] initWithUUIDBytes:identifier.bytes.data()]];
      return wrap([manager_ retrievePeripheralsWithIdentifiers:list]);
    }
  }
  std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
      const std::vector<BluetoothUUID>& serviceUUIDs) override {
    @autoreleasepool {
      return wrap([manager_ retrieveConnectedPeripheralsWithServices:cbUUIDs(serviceUUIDs)]);
    }
  }
  void connect(const std::shared_ptr<Peripheral>& peripheral) override {
    @autoreleasepool {
      auto target = std::dynamic_pointer_cast<DarwinPeripheral>(peripheral);
      if (!target) return;
      // A reset or power cycle of the adapter invalidates every peripheral
      // object: connect the one CoreBluetooth gives now for this keyboard.
      CBPeripheral* current = [manager_ retrievePeripheralsWithIdentifiers:@[ target->object.identifier ]].firstObject;
      if (current != nil && current != target->object) {
        peripherals_.rebind((__bridge const void*)target->object, (__bridge const void*)current, target);
        target->object = current;
        if (target->delegate != nullptr) adopt(current);
      }
      [manager_ connectPeripheral:target->object options:nil];
    }
  }
  void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) override {
    @autoreleasepool {
      if (auto target = std::dynamic_pointer_cast<DarwinPeripheral>(peripheral))
        [manager_ cancelPeripheralConnection:target->object];
    }
  }

  std::shared_ptr<DarwinPeripheral> handle(CBPeripheral* peripheral) {
    return peripherals_.handleFor((__bridge const void*)peripheral,
                                  [&] { return std::make_shared<DarwinPeripheral>(peripheral, *this); });
  }
  std::shared_ptr<DarwinService> handle(CBService* service) {
    return services_.handleFor((__bridge const void*)service,
                               [&] { return std::make_shared<DarwinService>(service, *this); });
  }
  std::shared_ptr<DarwinCharacteristic> handle(CBCharacteristic* characteristic) {
    return characteristics_.handleFor((__bridge const void*)characteristic,
                                      [&] { return std::make_shared<DarwinCharacteristic>(characteristic); });
  }
  void adopt(CBPeripheral* peripheral) { peripheral.delegate = bridge_; }

  CentralManagerDelegate& delegate;

 private:
  std::vector<std::shared_ptr<Peripheral>> wrap(NSArray<CBPeripheral*>* peripherals) {
    std::vector<std::shared_ptr<Peripheral>> handles;
    for (CBPeripheral* peripheral in peripherals) handles.push_back(handle(peripheral));
    return handles;
  }

  MorvikBluetoothDelegate* bridge_;
  CBCentralManager* manager_;
  HandleMap<DarwinPeripheral> peripherals_;
  HandleMap<DarwinService> services_;
  HandleMap<DarwinCharacteristic> characteristics_;
};

void DarwinPeripheral::setDelegate(PeripheralDelegate* peripheralDelegate) {
  delegate = peripheralDelegate;
  central_.adopt(object);
}

std::optional<std::vector<std::shared_ptr<Service>>> DarwinPeripheral::services() const {
  NSArray<CBService*>* services = object.services;
  if (services == nil) return std::nullopt;
  std::vector<std::shared_ptr<Service>> handles;
  for (CBService* service in services) handles.push_back(central_.handle(service));
  return handles;
}

std::optional<std::vector<std::shared_ptr<Characteristic>>> DarwinService::characteristics() const {
  NSArray<CBCharacteristic*>* characteristics = object.characteristics;
  if (characteristics == nil) return std::nullopt;
  std::vector<std::shared_ptr<Characteristic>> handles;
  for (CBCharacteristic* characteristic in characteristics) handles.push_back(central_.handle(characteristic));
  return handles;
}

}  // namespace

CentralFactory coreBluetoothCentralFactory() {
  return [](CentralManagerDelegate& delegate) { return std::make_unique<DarwinCentral>(delegate); };
}

}  // namespace morvik::ble::darwin

using morvik::ble::darwin::DarwinCentral;

@implementation MorvikBluetoothDelegate {
  DarwinCentral* _central;
}

- (instancetype)initWithCentral:(DarwinCentral*)central {
  if ((self = [super init])) _central = central;
  return self;
}

- (morvik::ble::PeripheralDelegate*)delegateOf:(CBPeripheral*)peripheral {
  return _central->handle(peripheral)->delegate;
}

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
  @autoreleasepool {
    _central->delegate.centralManagerDidUpdateState();
  }
}

- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI {
  @autoreleasepool {
    morvik::ble::AdvertisementData advertisement;
    id localName = advertisementData[CBAdvertisementDataLocalNameKey];
    if ([localName isKindOfClass:[NSString class]])
      advertisement.localName = morvik::channel::darwin::utf8(static_cast<NSString*>(localName));
    _central->delegate.didDiscoverPeripheral(_central->handle(peripheral), advertisement, RSSI.intValue);
  }
}

- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral {
  @autoreleasepool {
    _central->delegate.didConnectPeripheral(_central->handle(peripheral));
  }
}

- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error {
  @autoreleasepool {
    _central->delegate.didFailToConnectPeripheral(_central->handle(peripheral), morvik::ble::darwin::errorOf(error));
  }
}

- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(NSError*)error {
  @autoreleasepool {
    _central->delegate.didDisconnectPeripheral(_central->handle(peripheral), morvik::ble::darwin::errorOf(error));
  }
}

- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error {
  @autoreleasepool {
    if (auto* delegate = [self delegateOf:peripheral])
      delegate->didDiscoverServices(_central->handle(peripheral), morvik::ble::darwin::errorOf(error));
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error {
  @autoreleasepool {
    if (auto* delegate = [self delegateOf:peripheral])
      delegate->didDiscoverCharacteristicsForService(_central->handle(peripheral), _central->handle(service),
                                                     morvik::ble::darwin::errorOf(error));
  }
}

- (void)peripheral:(CBPeripheral*)peripheral didModifyServices:(NSArray<CBService*>*)invalidatedServices {
  @autoreleasepool {
    auto* delegate = [self delegateOf:peripheral];
    if (delegate == nullptr) return;
    std::vector<std::shared_ptr<morvik::ble::Service>> invalidated;
    for (CBService* service in invalidatedServices) invalidated.push_back(_central->handle(service));
    delegate->didModifyServices(_central->handle(peripheral), invalidated);
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(NSError*)error {
  @autoreleasepool {
    if (auto* delegate = [self delegateOf:peripheral])
      delegate->didWriteValueForCharacteristic(_central->handle(peripheral), _central->handle(characteristic),
                                               morvik::ble::darwin::errorOf(error));
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error {
  @autoreleasepool {
    if (auto* delegate = [self delegateOf:peripheral])
      delegate->didUpdateValueForCharacteristic(_central->handle(peripheral), _central->handle(characteristic),
                                                morvik::ble::darwin::errorOf(error));
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(NSError*)error {
  @autoreleasepool {
    if (auto* delegate = [self delegateOf:peripheral])
      delegate->didUpdateNotificationStateForCharacteristic(
          _central->handle(peripheral), _central->handle(characteristic), morvik::ble::darwin::errorOf(error));
  }
}

@end
