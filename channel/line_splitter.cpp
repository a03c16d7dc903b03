#include "channel/line_splitter.h"

#include <utility>

namespace morvik::channel {

LineSplitter::LineSplitter(std::size_t limit, Sink sink, Dropped dropped)
    : limit_(limit), sink_(std::move(sink)), dropped_(std::move(dropped)) {
  line_.reserve(limit_ + 1);
}

void LineSplitter::feed(std::string_view chunk) {
  while (!chunk.empty()) {
    const auto feedAt = chunk.find('\n');
    if (feedAt == std::string_view::npos) {
      append(chunk);
      return;
    }
    append(chunk.substr(0, feedAt));
    endLine(true);
    chunk.remove_prefix(feedAt + 1);
  }
}

void LineSplitter::finish() {
  if (!line_.empty() || overLimit_) endLine(false);
}

void LineSplitter::append(std::string_view part) {
  if (overLimit_) return;
  // One byte more than the limit may still be the carriage return of a line
  // that is exactly at the limit.
  if (line_.size() + part.size() > limit_ + 1) {
    overLimit_ = true;
    line_.clear();
    return;
  }
  line_.append(part);
}

void LineSplitter::endLine(bool atLineFeed) {
  std::string_view line = line_;
  if (atLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  const bool kept = !overLimit_ && line.size() <= limit_;
  if (kept) sink_(line);
  line_.clear();
  overLimit_ = false;
  if (!kept && dropped_) dropped_();
}

}  // namespace morvik::channel
