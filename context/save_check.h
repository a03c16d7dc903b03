#pragma once

#include <optional>
#include <string>

#include "channel/output.h"
#include "context/environment.h"

namespace morvik::context {

// The longest request line read: any snapshot object fits many times over.
inline constexpr std::size_t longestSaveRequest = 4 * 1024 * 1024;

// One request line from `fd`: the first line, its line feed and a carriage
// return before it removed; none at end of input before any byte, or when
// the line is longer than the limit (nothing more is read then).
std::optional<std::string> readRequestLine(int fd, std::size_t limit = longestSaveRequest);

// The answer to a save request (the line as read, or none): whether a save
// may be triggered in the front application now.
channel::Json saveAnswer(const Environment& environment, const std::optional<std::string>& line);

// The save check: reads one line from `fd` and writes the answer.
void checkSave(const Environment& environment, int fd, channel::Output& out);

}  // namespace morvik::context
