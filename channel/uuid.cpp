#include "channel/uuid.h"

#include <uuid/uuid.h>

namespace morvik::channel {

std::optional<Uuid> parseUuid(std::string_view text) {
  // The length check also keeps an embedded NUL from ending the text early.
  if (text.size() != 36) return std::nullopt;
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
