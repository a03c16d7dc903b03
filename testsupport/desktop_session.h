#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testsupport/process.h"

namespace morvik::testing {

// An X11 desktop of a test's own: Xvfb, a window manager that keeps
// _NET_ACTIVE_WINDOW (openbox), a private session bus with the
// accessibility bus on it (enabled, as a screen reader would have it), and
// the GTK test application in front. Ends with the object, with every
// process it started (the accessibility bus's own dbus-daemon included).
class DesktopSession {
 public:
  explicit DesktopSession(const std::string& application);
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  const std::vector<std::string>& environment() const { return environment_; }
  std::string xdotool(const std::vector<std::string>& args) const;
  void setAccessibilityEnabled(bool enabled) const;
  // Stops the accessibility bus and starts a new one, enabled.
  void restartAccessibility();
  // The accessibility bus's address, or "" while there is none.
  std::string accessibilityAddress() const;
  int applicationProcess() const;
  int sessionBusProcess() const { return processes_[1]->pid(); }
  // Where the desktop keeps its files; its processes' HOME.
  const std::string& directory() const { return directory_; }

 private:
  void startAccessibility();

  std::string directory_;
  std::vector<std::string> environment_;
  std::vector<std::unique_ptr<ChildProcess>> processes_;
  pid_t accessibilityGroup_ = -1;
};

}  // namespace morvik::testing
