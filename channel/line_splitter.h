#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace morvik::channel {

// Splits a byte stream into lines at line feeds. A carriage return right
// before the line feed is dropped, and a last line without a line feed is
// still a line. Lines longer than `limit` bytes are skipped as they arrive,
// so memory stays bounded by the limit whatever the input.
class LineSplitter {
 public:
  using Sink = std::function<void(std::string_view line)>;
  using Dropped = std::function<void()>;

  // `dropped`, if given, hears of each line skipped for its length.
  LineSplitter(std::size_t limit, Sink sink, Dropped dropped = {});

  void feed(std::string_view chunk);
  // End of input: hands on a pending last line.
  void finish();

 private:
  void append(std::string_view part);
  void endLine(bool atLineFeed);

  std::size_t limit_;
  Sink sink_;
  Dropped dropped_;
  std::string line_;
  bool overLimit_ = false;
};

}  // namespace morvik::channel
