// Strict base64: whatever decodes must encode back to text that decodes to
// the same bytes, and the encoding of any bytes must decode.
#include <cstdint>
#include <cstdlib>

#include "channel/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik::channel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto bytes = decodeBase64(text)) {
    if (bytes->size() != size / 4 * 3 - (size && text.back() == '=') - (size > 1 && text[size - 2] == '='))
      std::abort();
    if (decodeBase64(encodeBase64(*bytes)) != bytes) std::abort();
  }
  const Bytes raw(data, data + size);
  if (decodeBase64(encodeBase64(raw)) != raw) std::abort();
  return 0;
}
