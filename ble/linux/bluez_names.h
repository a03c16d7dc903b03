#pragma once

// Names of BlueZ's D-Bus API.
namespace morvik::ble::linux::bluez {

inline constexpr const char* service = "org.bluez";
inline constexpr const char* objectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* properties = "org.freedesktop.DBus.Properties";
inline constexpr const char* adapter = "org.bluez.Adapter1";
inline constexpr const char* device = "org.bluez.Device1";
inline constexpr const char* gattService = "org.bluez.GattService1";
inline constexpr const char* gattCharacteristic = "org.bluez.GattCharacteristic1";

}  // namespace morvik::ble::linux::bluez
