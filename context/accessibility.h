#pragma once

// What morvik-context reads of the user's working context, with the meaning
// of the macOS accessibility interface, workspace and input event sources:
// elements as handles compared by identity with a stable hash, attribute
// reads that give a value only on success and tell "no value" (-25212) from
// other errors, the value types the snapshot relies on, settability,
// per-element messaging timeouts, and the input counters and state.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace morvik::context {

using AXError = std::int32_t;
inline constexpr AXError axSuccess = 0;
inline constexpr AXError axFailure = -25200;
inline constexpr AXError axInvalidElement = -25202;
inline constexpr AXError axCannotComplete = -25204;  // also a messaging timeout
inline constexpr AXError axAttributeUnsupported = -25205;
inline constexpr AXError axNoValue = -25212;

class Element {
 public:
  virtual ~Element() = default;
};
using ElementRef = std::shared_ptr<Element>;

struct URL {
  std::string absoluteString;
};
// A value of another type than these (a number, a point, ...).
struct OtherValue {};
using Value = std::variant<ElementRef, std::vector<ElementRef>, std::string, bool, URL, OtherValue>;

struct AttributeRead {
  AXError error = axSuccess;
  std::optional<Value> value;
};

struct Settable {
  AXError error = axSuccess;
  bool settable = false;
};

struct FrontApplication {
  std::int32_t processIdentifier = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
};

class Accessibility {
 public:
  virtual ~Accessibility() = default;
  // Whether this process may read other applications' elements.
  virtual bool isProcessTrusted() = 0;
  virtual std::optional<FrontApplication> frontmostApplication() = 0;
  virtual ElementRef applicationElement(std::int32_t processIdentifier) = 0;
  // Later reads on the element give up after this long.
  virtual void setMessagingTimeout(const ElementRef& element, float seconds) = 0;
  virtual AttributeRead copyAttributeValue(const ElementRef& element, const std::string& attribute) = 0;
  virtual Settable isAttributeSettable(const ElementRef& element, const std::string& attribute) = 0;
  // The same number for the same element while it lives.
  virtual std::uint64_t hash(const ElementRef& element) = 0;
};

enum class EventType : std::uint32_t { leftMouseUp = 2, leftMouseDragged = 6, keyDown = 10 };

namespace modifier {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace modifier

enum class MouseButton : int { left = 0, right = 1 };

// The input event sources of the combined session state.
class InputState {
 public:
  virtual ~InputState() = default;
  // Running count of events of the type.
  virtual std::uint32_t counter(EventType type) = 0;
  virtual std::uint64_t flags() = 0;
  virtual double secondsSinceLastEvent(EventType type) = 0;
  virtual bool buttonState(MouseButton button) = 0;
};

}  // namespace morvik::context
