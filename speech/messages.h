#pragma once

#include <string_view>

// The user messages of morvik-speech, exactly as the application shows them.
namespace morvik::speech::message {

inline constexpr std::string_view unsupportedLanguage = "不支持的听写语言";
inline constexpr std::string_view notAuthorized = "请在系统设置 → 隐私与安全性 → 语音识别中允许 Morvik Studio";
inline constexpr std::string_view recognizerUnavailable = "此语言的系统听写暂不可用，请检查系统听写与网络设置";
inline constexpr std::string_view notReady = "听写尚未就绪";
// Prefix of the platform's error description.
inline constexpr std::string_view recognitionFailed = "系统听写失败：";
inline constexpr std::string_view nothingRecognized = "没有识别到文字，请重试";

}  // namespace morvik::speech::message
