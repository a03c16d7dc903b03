#include "channel/uuid.h"

#include <cctype>

#include <uuid/uuid.h>

namespace morvik::channel {
namespace {

// Exactly 8-4-4-4-12 hexadecimal digits. libuuid on macOS parses with
// sscanf, which would also take signs and spaces inside the groups.
bool hasUuidShape(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::optional<Uuid> parseUuid(std::string_view text) {
  if (!hasUuidShape(text)) return std::nullopt;
  const std::string terminated(text);
  Uuid uuid;
  if (uuid_parse(terminated.c_str(), uuid.bytes.data()) != 0) return std::nullopt;
  return uuid;
}

std::string uuidText(const Uuid& uuid) {
  char text[37];
  uuid_unparse_upper(uuid.bytes.data(), text);
  return text;
}

}  // namespace morvik::channel
