// Input bytes as a helper's standard input: split into lines in chunks of
// varying size, repaired and parsed. Whatever the bytes, every accepted line
// must be within the limit and be an object, and the split must not depend
// on how the input was chunked.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "channel/json.h"
#include "channel/line_splitter.h"
#include "channel/output.h"
#include "channel/utf8_repair.h"

namespace {

constexpr std::size_t limit = 1024;

std::vector<std::string> acceptedLines(std::string_view input, std::size_t chunkSize) {
  std::vector<std::string> accepted;
  morvik::channel::LineSplitter splitter(limit, [&](std::string_view line) {
    if (line.size() > limit) std::abort();
    if (auto request = morvik::channel::parseRequest(line, limit)) {
      if (!request->is_object()) std::abort();
      const std::string text = morvik::channel::serialize(*request);
      if (text.find('\n') != std::string::npos) std::abort();
      accepted.push_back(text);
    }
  });
  for (std::size_t at = 0; at < input.size(); at += chunkSize) splitter.feed(input.substr(at, chunkSize));
  splitter.finish();
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string repaired = morvik::channel::repairUtf8(input);
  if (morvik::channel::repairUtf8(repaired) != repaired || repaired.size() < input.size()) std::abort();
  const auto whole = acceptedLines(input, input.size() + 1);
  if (acceptedLines(input, 7) != whole) std::abort();
  return 0;
}
