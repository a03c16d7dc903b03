#include "context/save_check.h"

#include <array>
#include <cerrno>
#include <string_view>

#include <unistd.h>

#include "channel/text.h"
#include "channel/utf8_repair.h"
#include "context/snapshot.h"

namespace morvik::context {
namespace {

const channel::Json invalid = {{"error", "保存请求无效"}};
const channel::Json switched = {{"skipped", "窗口已切换或存在对话框"}};
const channel::Json busy = {{"skipped", "正在操作，请稍后保存"}};
const channel::Json ready = {{"ready", true}};

constexpr std::uint64_t heldModifiers = modifier::shift | modifier::control | modifier::option | modifier::command;
constexpr double typingPause = 1.0;  // seconds since the last key press

std::optional<std::int64_t> integer(const channel::Json& object, const char* key) {
  return channel::readInteger(object, key);
}

std::string text(const channel::Json& object, const char* key) { return channel::readString(object, key).value_or(""); }

}  // namespace

std::optional<std::string> readRequestLine(int fd, std::size_t limit) {
  std::string line;
  std::array<char, 64 * 1024> buffer;
  bool readAny = false;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    readAny = true;
    const std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
    const auto feed = chunk.find('\n');
    line.append(chunk.substr(0, feed));
    if (line.size() > limit + 1) return std::nullopt;
    if (feed != std::string_view::npos) break;
  }
  if (!readAny) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > limit) return std::nullopt;
  return channel::repairUtf8(line);
}

channel::Json saveAnswer(const Environment& environment, const std::optional<std::string>& line) {
  const auto request = line ? channel::parseObject(*line) : std::nullopt;
  if (!request) return invalid;
  const auto context = request->find("context");
  if (context == request->end() || !context->is_object()) return invalid;
  const auto scope = channel::readString(*request, "scope");
  if (scope != "app" && scope != "window") return invalid;

  const channel::Json current = snapshot(environment);
  const auto processId = integer(current, "processId");
  if (processId != integer(*context, "processId") || !processId || *processId <= 0) return switched;
  for (const char* key : {"id", "windowId", "title", "url"}) {
    if (scope == "app" && std::string_view(key) != "id") break;
    if (!channel::canonicallyEquivalent(text(current, key), text(*context, key))) return switched;
  }
  const bool pageAccess = channel::readBool(current, "pageAccess") == true;
  if (pageAccess && channel::readBool(current, "safeToSave") != true) return switched;
  if (scope == "window" && !pageAccess) return switched;

  InputState& input = environment.input;
  if ((input.flags() & heldModifiers) != 0) return busy;
  if (input.secondsSinceLastEvent(EventType::keyDown) < typingPause) return busy;
  if (input.buttonState(MouseButton::left) || input.buttonState(MouseButton::right)) return busy;
  // The user may have switched applications while the snapshot was taken.
  const auto front = environment.accessibility.frontmostApplication();
  if (!front || front->processIdentifier != *processId) return switched;
  return ready;
}

void checkSave(const Environment& environment, int fd, channel::Output& out) {
  channel::emit(out, saveAnswer(environment, readRequestLine(fd)));
}

}  // namespace morvik::context
