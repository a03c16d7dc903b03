// The context on macOS: the accessibility interface (ApplicationServices),
// the workspace's front application (AppKit) and the combined-session input
// event sources (CoreGraphics). Everything runs on the main thread, the
// first snapshot and the save check straight from main, so every call into
// the frameworks drains its own autorelease pool.
#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>

#include "channel/darwin/ns_string.h"
#include "context/platform_context.h"

namespace morvik::context {
namespace {

using channel::darwin::makeCFString;
using channel::darwin::optionalUtf8;
using channel::darwin::utf8;

class MacElement final : public Element {
 public:
  // Takes over one reference.
  explicit MacElement(AXUIElementRef element) : ref(element) {}
  ~MacElement() override { CFRelease(ref); }
  const AXUIElementRef ref;
};

AXUIElementRef refOf(const ElementRef& element) {
  const auto mac = std::dynamic_pointer_cast<MacElement>(element);
  return mac ? mac->ref : nullptr;
}

ElementRef retained(CFTypeRef element) {
  return std::make_shared<MacElement>(static_cast<AXUIElementRef>(CFRetain(element)));
}

// An attribute value of a type the snapshot reads, or another value.
Value valueOf(CFTypeRef value) {
  const CFTypeID type = CFGetTypeID(value);
  if (type == AXUIElementGetTypeID()) return retained(value);
  if (type == CFStringGetTypeID()) return utf8(static_cast<CFStringRef>(value));
  if (type == CFBooleanGetTypeID()) return static_cast<bool>(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
  if (type == CFURLGetTypeID()) {
    const CFURLRef absolute = CFURLCopyAbsoluteURL(static_cast<CFURLRef>(value));
    URL url{absolute != nullptr ? utf8(CFURLGetString(absolute)) : ""};
    if (absolute != nullptr) CFRelease(absolute);
    return url;
  }
  if (type == CFArrayGetTypeID()) {
    const auto array = static_cast<CFArrayRef>(value);
    std::vector<ElementRef> elements;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
      const CFTypeRef item = CFArrayGetValueAtIndex(array, i);
      if (CFGetTypeID(item) != AXUIElementGetTypeID()) return OtherValue{};
      elements.push_back(retained(item));
    }
    return elements;
  }
  return OtherValue{};
}

class MacContext final : public ContextPlatform, public Accessibility, public InputState {
 public:
  Accessibility& accessibility() override { return *this; }
  InputState& input() override { return *this; }

  bool isProcessTrusted() override { return AXIsProcessTrusted(); }

  std::optional<FrontApplication> frontmostApplication() override {
    @autoreleasepool {
      NSRunningApplication* front = NSWorkspace.sharedWorkspace.frontmostApplication;
      if (front == nil) return std::nullopt;
      FrontApplication application;
      application.processIdentifier = front.processIdentifier;
      application.bundleIdentifier = optionalUtf8(front.bundleIdentifier);
      application.localizedName = optionalUtf8(front.localizedName);
      return application;
    }
  }

  ElementRef applicationElement(std::int32_t processIdentifier) override {
    return std::make_shared<MacElement>(AXUIElementCreateApplication(processIdentifier));
  }

  void setMessagingTimeout(const ElementRef& element, float seconds) override {
    if (AXUIElementRef ref = refOf(element)) AXUIElementSetMessagingTimeout(ref, seconds);
  }

  AttributeRead copyAttributeValue(const ElementRef& element, const std::string& attribute) override {
    AXUIElementRef ref = refOf(element);
    const auto name = makeCFString(attribute);
    if (ref == nullptr || !name) return {kAXErrorIllegalArgument, std::nullopt};
    CFTypeRef value = nullptr;
    const AXError error = AXUIElementCopyAttributeValue(ref, name.get(), &value);
    if (error != kAXErrorSuccess || value == nullptr) return {error, std::nullopt};
    AttributeRead read{error, valueOf(value)};
    CFRelease(value);
    return read;
  }

  Settable isAttributeSettable(const ElementRef& element, const std::string& attribute) override {
    AXUIElementRef ref = refOf(element);
    const auto name = makeCFString(attribute);
    if (ref == nullptr || !name) return {kAXErrorIllegalArgument, false};
    Boolean settable = false;
    const AXError error = AXUIElementIsAttributeSettable(ref, name.get(), &settable);
    return {error, static_cast<bool>(settable)};
  }

  std::uint64_t hash(const ElementRef& element) override {
    AXUIElementRef ref = refOf(element);
    return ref != nullptr ? CFHash(ref) : 0;
  }

  std::uint32_t counter(EventType type) override {
    return CGEventSourceCounterForEventType(kCGEventSourceStateCombinedSessionState, static_cast<CGEventType>(type));
  }
  std::uint64_t flags() override { return CGEventSourceFlagsState(kCGEventSourceStateCombinedSessionState); }
  double secondsSinceLastEvent(EventType type) override {
    return CGEventSourceSecondsSinceLastEventType(kCGEventSourceStateCombinedSessionState,
                                                  static_cast<CGEventType>(type));
  }
  bool buttonState(MouseButton button) override {
    return CGEventSourceButtonState(kCGEventSourceStateCombinedSessionState, static_cast<CGMouseButton>(button));
  }
};

}  // namespace

std::unique_ptr<ContextPlatform> makeContextPlatform(Mode) { return std::make_unique<MacContext>(); }

}  // namespace morvik::context
