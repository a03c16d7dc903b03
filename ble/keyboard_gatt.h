#pragma once

#include <string_view>

// The GATT layout of the Morvik Pro's firmware.
namespace morvik::ble::gatt {

inline constexpr std::string_view configurationService = "7a8e1001-7d3b-4c6a-96a8-3d79199c7e21";
inline constexpr std::string_view command = "7a8e1002-7d3b-4c6a-96a8-3d79199c7e21";
inline constexpr std::string_view response = "7a8e1003-7d3b-4c6a-96a8-3d79199c7e21";
inline constexpr std::string_view voiceService = "7a8e2001-7d3b-4c6a-96a8-3d79199c7e21";
inline constexpr std::string_view voiceCommand = "7a8e2002-7d3b-4c6a-96a8-3d79199c7e21";
inline constexpr std::string_view voiceStream = "7a8e2003-7d3b-4c6a-96a8-3d79199c7e21";

}  // namespace morvik::ble::gatt
