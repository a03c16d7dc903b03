#pragma once

#include "channel/main_loop.h"
#include "context/accessibility.h"

namespace morvik::context {

// What a snapshot reads: the accessibility interface, the input sources and
// the main loop's clock, which bounds the page-address search.
struct Environment {
  Accessibility& accessibility;
  InputState& input;
  channel::MainLoop& loop;
};

// A read's value as `T`: only when the read succeeded and the value has that
// type; every read of the helper goes through here.
template <typename T>
std::optional<T> valueOf(AttributeRead read) {
  if (read.error != axSuccess || !read.value) return std::nullopt;
  if (auto* typed = std::get_if<T>(&*read.value)) return std::move(*typed);
  return std::nullopt;
}

template <typename T>
std::optional<T> attribute(Accessibility& accessibility, const ElementRef& element, const std::string& name) {
  return valueOf<T>(accessibility.copyAttributeValue(element, name));
}

}  // namespace morvik::context
