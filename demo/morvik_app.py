#!/usr/bin/python3
"""Plays Morvik Studio against the seven helpers and prints what passes between them.

usage: morvik_app.py SIM_DIR LINUX_DIR OUT_DIR
SIM_DIR holds the helpers built for the simulated platform, LINUX_DIR those
built for Linux (may be "-" for none). A helper runs on Linux where this
machine can serve it, else on the simulated platform; the output says which.
The icon PNG and the PulseAudio log go to OUT_DIR.
"""
import base64
import json
import math
import os
import selectors
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import make_icon_bundle  # noqa: E402

CHUNK = 640  # bytes of 16 kHz 16-bit mono PCM in one audio request: 20 ms
SESSION = 1
SPEECH_MODEL = "/usr/share/pocketsphinx/model/en-us"


def say(text=""):
    print(text, flush=True)


def compact(message):
    return json.dumps(message, ensure_ascii=False, separators=(",", ":"))


class Helper:
    """A long-lived helper on pipes, as the application runs it."""

    def __init__(self, name, path, args=(), env=None):
        self.name = name
        self.process = subprocess.Popen([path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.buffer = b""
        self.ended = False

    def send(self, request, shown=True):
        line = compact(request)
        if shown:
            say(f"  app -> {self.name}  {line}")
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def take_lines(self):
        """The complete lines read so far, after one read of what is waiting."""
        chunk = self.process.stdout.read1(65536)
        if not chunk:
            self.ended = True
        self.buffer += chunk
        *lines, self.buffer = self.buffer.split(b"\n")
        return [line.decode() for line in lines]

    def finish(self):
        self.process.stdin.close()
        rest = self.process.stdout.read()
        status = self.process.wait(timeout=10)
        say(f"  {self.name}: input closed, exit status {status}" + (f", then wrote {rest!r}" if rest else ""))
        return status


class Conversation:
    """Several helpers read at once, each line handed to `on_line`."""

    def __init__(self, helpers, on_line):
        self.selector = selectors.DefaultSelector()
        for helper in helpers:
            self.selector.register(helper.process.stdout, selectors.EVENT_READ, helper)
        self.on_line = on_line

    def run(self, seconds, until=lambda: False):
        deadline = time.monotonic() + seconds
        while not until():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            for key, _ in self.selector.select(left):
                helper = key.data
                for line in helper.take_lines():
                    self.on_line(helper, line)
                if helper.ended:
                    self.selector.unregister(key.fileobj)
        return True


def one_shot(name, path, args, env=None, stdin=None):
    say(f"  app runs {name} {' '.join(args)}".rstrip())
    result = subprocess.run([path, *args], input=stdin, capture_output=True, env=env, timeout=30)
    return result


class PulseAudio:
    """A PulseAudio server of the demo's own with the "BlackHole 2ch" null sink."""

    def __init__(self, out_dir):
        self.directory = tempfile.mkdtemp(prefix="morvik-demo-pulse-")
        socket = os.path.join(self.directory, "native")
        self.env = dict(os.environ, PULSE_SERVER="unix:" + socket)
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--log-target=file:" + os.path.join(out_dir, "pulseaudio.log"),
             "-L", f"module-native-protocol-unix socket={socket} auth-anonymous=1"],
            env=dict(os.environ, HOME=self.directory, XDG_RUNTIME_DIR=self.directory),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            if subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode == 0:
                # The device as docs/virtual-mic-protocol.md tells a user to make it.
                subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts",
                                             "virtual-mic-device")], env=self.env, capture_output=True, check=True)
                return
            time.sleep(0.01)
        raise RuntimeError("the demo's PulseAudio server did not start")

    def record_monitor(self):
        """What another program hears when it picks "Monitor of BlackHole 2ch" as its microphone:
        a recorder whose output a thread keeps reading, so that it never stalls."""
        recorder = subprocess.Popen(["parec", "-d", "blackhole.monitor", "--format=s16le", "--channels=2",
                                     "--rate=16000", "--raw", "--latency-msec=20"], env=self.env, stdout=subprocess.PIPE)
        recorder.heard = bytearray()
        recorder.reader = threading.Thread(target=lambda: [recorder.heard.extend(chunk) for chunk in
                                                           iter(lambda: recorder.stdout.read1(65536), b"")])
        recorder.reader.start()
        # Already hearing the sink in short blocks, as a program that records it does by the time
        # the user speaks: a sink that idled with no listener renders a long block first.
        for _ in range(500):
            if recorder.heard:
                break
            time.sleep(0.01)
        return recorder

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        shutil.rmtree(self.directory, ignore_errors=True)


def choose(sim_dir, linux_dir):
    """Which build of each helper runs, and why."""
    linux = linux_dir if linux_dir != "-" else None
    have = shutil.which
    choices = {
        "morvik-ble": (None, "no Morvik Pro here: a simulated one, whose microphone hears a spoken sentence"),
        "morvik-speech": (linux if os.path.isdir(SPEECH_MODEL) else None,
                          "PocketSphinx, en-US" if os.path.isdir(SPEECH_MODEL) else "no PocketSphinx model"),
        "morvik-virtual-mic": (linux if have("pulseaudio") and have("pactl") and have("parec") else None,
                               "a PulseAudio server of the demo's own with a \"BlackHole 2ch\" null sink"
                               if have("pulseaudio") else "no PulseAudio"),
        "morvik-context": (linux if os.environ.get("DISPLAY") else None,
                           "this X11 session" if os.environ.get("DISPLAY") else "no X11 session: a simulated desktop"),
        "morvik-resources": (linux, "this machine's gauges"),
        "morvik-permissions": (linux, "this machine's answers"),
        "morvik-app-icon": (linux, "a bundle made by the demo, with an .icns icon"),
    }
    paths = {}
    say("Helpers (each started as the application starts it, its output shown as it comes):")
    for name, (directory, why) in choices.items():
        platform = "linux" if directory else "sim"
        paths[name] = (os.path.join(directory or sim_dir, name), platform)
        say(f"  {name:19} {platform:5}  {why}")
    return paths


def permissions_resources_icon(paths, out_dir):
    say("\n== morvik-permissions: the permission report")
    result = one_shot("morvik-permissions", paths["morvik-permissions"][0], ["status"])
    say(f"  morvik-permissions -> {result.stdout.decode().strip()}  (exit {result.returncode})")

    say("\n== morvik-resources: one sample of the gauges")
    result = one_shot("morvik-resources", paths["morvik-resources"][0], [])
    say(f"  morvik-resources -> {result.stdout.decode()}  (exit {result.returncode})")

    say("\n== morvik-app-icon: an application's icon as a 128 x 128 PNG")
    bundle = os.path.join(out_dir, "Morvik Demo.app")
    make_icon_bundle.write_bundle(bundle)
    result = one_shot("morvik-app-icon", paths["morvik-app-icon"][0], [bundle])
    png = result.stdout
    icon = os.path.join(out_dir, "morvik-app-icon.png")
    with open(icon, "wb") as file:
        file.write(png)
    width, height = struct.unpack(">II", png[16:24]) if png.startswith(b"\x89PNG") else (0, 0)
    say(f"  morvik-app-icon -> {len(png)} bytes of PNG, {width} x {height}  (exit {result.returncode})")
    say(f"  the icon is in {icon}")


def context(paths):
    say("\n== morvik-context: where the user works, every 0.6 s; then a save check")
    path = paths["morvik-context"][0]
    say("  app runs morvik-context")
    monitor = Helper("morvik-context", path)
    snapshots = []
    Conversation([monitor], lambda _, line: (snapshots.append(line), say(f"  morvik-context -> {line}"))).run(
        3, until=lambda: len(snapshots) >= 3)
    monitor.process.terminate()
    monitor.process.wait(timeout=5)
    say("  app ends morvik-context")
    request = compact({"scope": "app", "context": json.loads(snapshots[-1]) if snapshots else {}})
    result = one_shot("morvik-context", path, ["--check-save"], stdin=request.encode() + b"\n")
    say(f"  app -> morvik-context  {request}")
    say(f"  morvik-context -> {result.stdout.decode().strip()}  (exit {result.returncode})")


def keyboard_session(paths, out_dir):
    say("\n== A keyboard session: morvik-ble, its microphone's audio on to morvik-speech and morvik-virtual-mic")
    pulse = PulseAudio(out_dir) if paths["morvik-virtual-mic"][1] == "linux" else None
    monitor = pulse.record_monitor() if pulse else None
    ble = Helper("morvik-ble", paths["morvik-ble"][0])
    speech = Helper("morvik-speech", paths["morvik-speech"][0])
    mic = Helper("morvik-virtual-mic", paths["morvik-virtual-mic"][0], env=pulse.env if pulse else None)
    state = {"answers": {}, "events": [], "voice": 0, "pcm": b"", "sent": 0, "words": 0, "final": None}

    def on_line(helper, line):
        message = json.loads(line)
        if helper is ble and message.get("event") == "voice":
            state["voice"] += 1
            if state["voice"] <= 2:
                say(f"  morvik-ble -> {line}")
            elif state["voice"] == 3:
                say("  morvik-ble -> ... (the other voice packets are counted, not shown)")
            # The application's side of the voice path: whole 20 ms chunks on to both helpers.
            state["pcm"] += bytes(message["data"])
            while len(state["pcm"]) >= CHUNK:
                chunk, state["pcm"] = state["pcm"][:CHUNK], state["pcm"][CHUNK:]
                audio = {"op": "audio", "session": SESSION, "pcm": base64.b64encode(chunk).decode()}
                shown = state["sent"] == 0
                speech.send(audio, shown)
                mic.send(audio, shown)
                if shown:
                    say("  app -> ... (one such audio request to each every 20 ms, not shown)")
                state["sent"] += 1
            return
        if helper is speech and message.get("event") == "partial":
            # The text as it grows: a partial with no more words than the last one shown is not shown.
            words = len(message.get("text", "").split())
            if words <= state["words"]:
                return
            state["words"] = words
        if helper is speech and message.get("event") in ("final", "error"):
            state["final"] = (message, time.monotonic())
        if "id" in message:
            state["answers"][message["id"]] = message
        state["events"].append((helper.name, message))
        say(f"  {helper.name} -> {line}")

    talk = Conversation([ble, speech, mic], on_line)
    answered = lambda id: lambda: id in state["answers"]
    seen = lambda name, event: lambda: any(n == name and m.get("event") == event for n, m in state["events"])

    ble.send({"id": 1, "op": "open"})
    talk.run(2, until=lambda: any(m.get("event") == "devices" and m.get("devices") for _, m in state["events"]))
    devices = [m for _, m in state["events"] if m.get("event") == "devices" and m.get("devices")]
    keyboard = devices[-1]["devices"][0]["deviceId"] if devices else ""
    ble.send({"id": 2, "op": "select", "deviceId": keyboard})
    talk.run(5, until=answered(1))
    ble.send({"id": 3, "op": "write", "data": [0xA5, 0x01, 0x00, 0x04, 0x10, 0x20, 0x30, 0x40]})
    talk.run(2, until=answered(3))
    ble.send({"id": 4, "op": "read"})
    talk.run(2, until=answered(4))

    speech.send({"op": "prepare", "locale": "en-US"})
    mic.send({"op": "prepare"})
    talk.run(10, until=lambda: seen("morvik-speech", "ready")() and seen("morvik-virtual-mic", "ready")())
    speech.send({"op": "start", "session": SESSION})
    mic.send({"op": "start", "session": SESSION})

    ble.send({"id": 5, "op": "voiceEnable", "enabled": True})
    talk.run(4.0)  # the sentence lasts about three seconds
    ble.send({"id": 6, "op": "voiceEnable", "enabled": False})
    talk.run(2, until=answered(6))
    ended = time.monotonic()
    speech.send({"op": "end", "session": SESSION})
    mic.send({"op": "end", "session": SESSION})
    talk.run(12, until=lambda: state["final"] is not None and seen("morvik-virtual-mic", "final")())
    ble.send({"id": 7, "op": "close"})
    talk.run(2, until=answered(7))
    for helper in (ble, speech, mic):
        helper.finish()

    say("\n== Figures")
    seconds = state["sent"] * CHUNK / 32000
    say(f"  voice packets forwarded by morvik-ble: {state['voice']}, "
        f"{state['sent']} audio chunks ({seconds:.2f} s) pushed to each of morvik-speech and morvik-virtual-mic")
    if state["final"]:
        message, at = state["final"]
        say(f"  dictated text: {message.get('text', message.get('message'))!r}, "
            f"final {1000 * (at - ended):.0f} ms after \"end\"")
    if monitor:
        time.sleep(0.2)
        monitor.terminate()
        monitor.wait(timeout=5)
        monitor.reader.join(timeout=5)
        heard = bytes(monitor.heard)
        samples = struct.unpack(f"<{len(heard) // 2}h", heard[: len(heard) // 2 * 2])
        loud = sum(1 for s in samples[::2] if abs(s) > 300) / 16000
        peak = max((abs(s) for s in samples), default=0)
        level = f"{20 * math.log10(peak / 32768):.1f} dBFS" if peak else "silence"
        say(f"  a program recording \"Monitor of BlackHole 2ch\" heard {len(samples) / 32000:.2f} s of audio, "
            f"{loud:.2f} s of it voice, peak {level}")
        pulse.stop()


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sim_dir, linux_dir, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    paths = choose(sim_dir, linux_dir)
    permissions_resources_icon(paths, out_dir)
    context(paths)
    keyboard_session(paths, out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
