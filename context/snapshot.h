#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "channel/json.h"
#include "channel/output.h"
#include "context/environment.h"

namespace morvik::context {

// The known browsers' identifiers, lower case.
const std::set<std::string>& browsers();

// Monitor mode: a snapshot line at once, then one every 0.6 s for as long as
// the timer lives. A tick that runs late delays the next one; missed ticks
// are not queued.
std::unique_ptr<channel::Timer> startMonitor(const Environment& environment, channel::Output& out);

// The user's working context as the snapshot object: the eleven keys when
// an application is in front, {} when none is.
channel::Json snapshot(const Environment& environment);

// {"source":"mac-session","keys","clicks","drags"}: the running counters.
channel::Json activitySnapshot(InputState& input);

// Whether an editable text element has the keyboard focus in the
// application; none when that cannot be told.
std::optional<bool> textFocus(Accessibility& accessibility, const ElementRef& application);

// True only for a window with no sheet that is no dialog and not modal.
bool windowIsSafe(Accessibility& accessibility, const ElementRef& window);

}  // namespace morvik::context
