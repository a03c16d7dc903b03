#!/usr/bin/python3
"""Drives morvik-ble as the desktop application does and prints the conversation.

usage: demo_session.py PATH_TO_MORVIK_BLE
"""
import json
import selectors
import subprocess
import sys
import time


class Helper:
    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)
        self.buffer = b""

    def send(self, request, note):
        line = json.dumps(request, ensure_ascii=False, separators=(",", ":"))
        print(f"\n# {note}\n  app -> {line}", flush=True)
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def lines(self, seconds):
        """Every line the helper writes during the next `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            while b"\n" in self.buffer:
                line, self.buffer = self.buffer.split(b"\n", 1)
                yield line.decode()
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(left):
                return
            chunk = self.process.stdout.read1(65536)
            if not chunk:
                return
            self.buffer += chunk

    def show(self, seconds, until_id=None, voice_shown=3):
        voice = 0
        for line in self.lines(seconds):
            message = json.loads(line)
            if message.get("event") == "voice":
                voice += 1
                if voice > voice_shown:
                    continue
            print(f"  ble -> {line}", flush=True)
            if until_id is not None and message.get("id") == until_id:
                break
        if voice > voice_shown:
            print(f"  ble -> ... {voice - voice_shown} more voice packets", flush=True)

    def finish(self):
        self.process.stdin.close()
        status = self.process.wait(timeout=5)
        print(f"\n# input closed: morvik-ble exited with status {status}")
        return status


def main():
    helper = Helper(sys.argv[1])
    helper.send({"id": 1, "op": "open"}, "Look for keyboards: the list comes at once and every 3 seconds")
    helper.show(3.3)
    keyboard = "0F6C2E3A-5B1D-4E8F-9A27-C4D1B2E3F405"
    helper.send({"id": 2, "op": "select", "deviceId": keyboard},
                "Pick the keyboard: answered at once; the open answer follows once the link is set up")
    helper.show(2, until_id=1)
    helper.send({"id": 3, "op": "write", "data": [0xA5, 0x01, 0x00, 0x04, 0x10, 0x20, 0x30, 0x40]},
                "Send a configuration frame (8 bytes)")
    helper.show(2, until_id=3)
    helper.send({"id": 4, "op": "read"}, "Read the configuration response (the simulated firmware echoes the frame)")
    helper.show(2, until_id=4)
    helper.send({"id": 5, "op": "voiceEnable", "enabled": True}, "Switch the microphone's voice stream on")
    helper.show(0.2)
    helper.send({"id": 6, "op": "voiceEnable", "enabled": False}, "And off again")
    helper.show(2, until_id=6)
    helper.send({"id": 7, "op": "write", "data": [1, 2, 3, 4, 5, 6, 7]},
                "A frame shorter than 8 bytes is rejected with its message")
    helper.show(1, until_id=7)
    helper.send({"id": 8, "op": "pair"}, "So is an operation the helper does not know")
    helper.show(1, until_id=8)
    helper.send({"id": 9, "op": "close"}, "Close the link")
    helper.show(0.5)
    return helper.finish()


if __name__ == "__main__":
    sys.exit(main())
