#pragma once

#include <string_view>

// The user messages of morvik-virtual-mic, exactly as the application shows them.
namespace morvik::virtualmic::message {

inline constexpr std::string_view invalidCommand = "虚拟麦克风命令无效";
inline constexpr std::string_view unsupportedCommand = "不支持的虚拟麦克风命令";
inline constexpr std::string_view invalidAudioData = "无效的音频数据";
inline constexpr std::string_view driverMissing =
    "请先安装 BlackHole 2ch 虚拟音频驱动，然后重新启用；系统输入选择 BlackHole 2ch。";
inline constexpr std::string_view notPrepared = "虚拟麦克风未准备好";
inline constexpr std::string_view cannotCreateQueue = "无法创建虚拟麦克风音频通道";
inline constexpr std::string_view cannotSetDevice = "无法连接 BlackHole 2ch；请检查驱动";
inline constexpr std::string_view deviceCheckFailed = "虚拟麦克风目标校验失败";
inline constexpr std::string_view cannotAllocate = "虚拟麦克风缓冲区分配失败";
inline constexpr std::string_view invalidFrame = "虚拟麦克风音频帧无效";
inline constexpr std::string_view congested = "虚拟麦克风输出拥堵，已停止本轮录音";
inline constexpr std::string_view outputFailed = "虚拟麦克风输出失败";
inline constexpr std::string_view cannotStart = "BlackHole 2ch 无法开始播放";

}  // namespace morvik::virtualmic::message
