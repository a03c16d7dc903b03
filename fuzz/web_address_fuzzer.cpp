// A page-address candidate from a browser: the result is empty or a plain
// http(s) address without query, fragment or space, and cleaning it again
// gives it back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "context/browser_address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view candidate(reinterpret_cast<const char*>(data), size);
  const std::string address = morvik::context::webAddress(candidate);
  if (address.empty()) return 0;
  if (!address.starts_with("http://") && !address.starts_with("https://")) std::abort();
  if (address.find_first_of("?# ") != std::string::npos) std::abort();
  // Cleaning again gives it back (unless the "https://" put in front made it too long).
  if (address.size() <= 2048 && morvik::context::webAddress(address) != address) std::abort();
  return 0;
}
