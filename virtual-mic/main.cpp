// morvik-virtual-mic: plays audio pushed over standard input into the
// "BlackHole 2ch" device. Requests are read and handled one after the other
// on the main thread; there is no run loop.
#include "channel/output.h"
#include "channel/reader.h"
#include "virtual-mic/virtual_mic.h"

namespace {
// The one microphone of the process, never destroyed: the audio thread
// holds it as the queue's user data.
morvik::virtualmic::VirtualMic* mic = nullptr;
}  // namespace

int main() {
  using namespace morvik;
  channel::prepareProcess();
  auto* system = virtualmic::makeAudioSystem().release();
  mic = new virtualmic::VirtualMic(channel::standardOutput(), *system, virtualmic::steadyClock());
  channel::readLines(
      0, channel::virtualMicLineLimit, [](std::string_view line) { mic->receiveLine(line); },
      [] { mic->receiveInvalidLine(); });
  mic->close();
  return 0;
}
