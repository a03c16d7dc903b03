#pragma once

#include <string_view>

// The user messages of morvik-ble, exactly as the application shows them.
namespace morvik::ble::message {

inline constexpr std::string_view unsupportedOperation = "不支持的蓝牙操作";
inline constexpr std::string_view connectionInUse = "蓝牙连接正在使用中";
inline constexpr std::string_view chooseFromList = "请选择列表中的 Morvik Pro";
inline constexpr std::string_view upgradeForMicrophone = "请升级支持板载蓝牙麦克风的固件";
inline constexpr std::string_view invalidAudioSubscription = "无效的音频订阅";
inline constexpr std::string_view invalidAudioControl = "无效的音频控制";
inline constexpr std::string_view configurationNotReady = "蓝牙配置连接尚未就绪";
inline constexpr std::string_view invalidConfigurationData = "无效的蓝牙配置数据";
inline constexpr std::string_view adapterUnsupported = "这台电脑不支持低功耗蓝牙";
inline constexpr std::string_view adapterUnauthorized = "请在系统设置 → 隐私与安全性 → 蓝牙中允许 Morvik Studio";
inline constexpr std::string_view adapterPoweredOff = "电脑蓝牙已关闭，请先打开蓝牙";
inline constexpr std::string_view cancelled = "蓝牙连接已取消";
inline constexpr std::string_view configurationServiceMissing = "未找到键盘配置服务，请确认键盘已烧录 Studio 配套固件";
inline constexpr std::string_view configurationServiceIncomplete = "键盘配置服务不完整，请更新固件";
inline constexpr std::string_view servicesChanged = "键盘服务已更新，正在重新连接";
inline constexpr std::string_view cannotConnect = "无法连接蓝牙键盘，请检查供电和距离";
inline constexpr std::string_view disconnected = "蓝牙键盘已断开";
// Prefixes of the platform's error description.
inline constexpr std::string_view subscriptionFailed = "音频订阅失败：";
inline constexpr std::string_view writeFailed = "蓝牙写入失败：";
inline constexpr std::string_view readFailed = "蓝牙读取失败：";

}  // namespace morvik::ble::message
