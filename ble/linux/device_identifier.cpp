#include "ble/linux/device_identifier.h"

#include <algorithm>
#include <cctype>
#include <string>

#include <uuid/uuid.h>

namespace morvik::ble::linux {
namespace {

// Fixed for good: changing it changes every keyboard's identifier.
constexpr std::string_view identifierNamespace = "3D5C9A8E-6F1B-4C27-9E40-7A8E00000B1E";

std::string upper(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::toupper(c); });
  return out;
}

}  // namespace

channel::Uuid deviceIdentifier(std::string_view adapterAddress, std::string_view deviceAddress) {
  static const channel::Uuid space = *channel::parseUuid(identifierNamespace);
  const std::string name = upper(adapterAddress) + "/" + upper(deviceAddress);
  channel::Uuid id;
  uuid_generate_sha1(id.bytes.data(), space.bytes.data(), name.data(), name.size());
  return id;
}

}  // namespace morvik::ble::linux
