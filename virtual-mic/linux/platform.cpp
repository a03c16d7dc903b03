#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "virtual-mic/linux/pulse_audio.h"
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace morvik::virtualmic {
namespace {

// libpulse tells standard error what it cannot do (save its cookie in a
// read-only home, whatever PULSE_LOG asks for), and the helper never writes
// there: the stream goes to /dev/null. A sanitizer still reports on the
// original one.
void silenceStandardError() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(::fcntl(2, F_DUPFD_CLOEXEC, 3))));
#endif
  ::dup2(null, 2);
  ::close(null);
}

}  // namespace

std::unique_ptr<AudioSystem> makeAudioSystem() {
  silenceStandardError();
  return std::make_unique<linux::PulseAudioSystem>();
}

}  // namespace morvik::virtualmic
