#include "channel/text.h"

#include <cstdlib>
#include <memory>

#include <utf8proc.h>

#include "channel/utf8_repair.h"

namespace morvik::channel {

std::string truncateGraphemes(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  const std::string valid = repairUtf8(text);
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(valid.data());
  const auto size = static_cast<utf8proc_ssize_t>(valid.size());
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  std::size_t clusters = 0;
  for (utf8proc_ssize_t at = 0; at < size;) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
    if (length <= 0) break;  // cannot happen after repair
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) {
      if (clusters == count) return valid.substr(0, static_cast<std::size_t>(at));
      ++clusters;
    }
    previous = codepoint;
    at += length;
  }
  return valid;
}

namespace {

std::string decomposed(std::string_view text) {
  const std::string valid = repairUtf8(text);
  utf8proc_uint8_t* out = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(valid.data()), static_cast<utf8proc_ssize_t>(valid.size()),
                   &out, static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (length < 0) return valid;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

}  // namespace

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return decomposed(a) == decomposed(b);
}

}  // namespace morvik::channel
