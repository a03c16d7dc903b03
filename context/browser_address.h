#pragma once

#include <string>
#include <string_view>

#include "context/environment.h"

namespace morvik::context {

// The page address of a browser window: its document, else the nearest web
// area or address bar in a breadth-first search bounded by time (0.15 s on
// the main loop's clock), entries (120), depth and children (40 each). The
// empty string when nothing acceptable is found.
std::string browserAddress(const Environment& environment, const ElementRef& window);

// A candidate as a plain web address: at most 2048 bytes, no space, http or
// https (letter case counting; "https://" is put in front of text without
// "://"), no user or password, a dotted host or "localhost"; query and
// fragment removed. The empty string when it is not accepted.
std::string webAddress(std::string_view candidate);

}  // namespace morvik::context
