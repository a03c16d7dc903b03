#!/usr/bin/python3
"""Speed of morvik-speech on a spoken sentence (flite's "slt" voice, 16 kHz).

usage: dictation.py MORVIK_SPEECH [RUNS]
Prints the real-time factor (decode time / audio time, audio pushed as fast
as the pipe takes it) and the delay from "end" to "final" with the audio
pushed in real time, 20 ms per chunk, as the application does.
"""
import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SENTENCE = "please open the settings and turn on the microphone"


def speech():
    with tempfile.TemporaryDirectory() as folder:
        wav = os.path.join(folder, "s.wav")
        subprocess.run(["flite", "-voice", "slt", "-t", SENTENCE, "-o", wav], check=True)
        data = open(wav, "rb").read()
    return data[data.index(b"data") + 8:]


def lines(pcm, session):
    return [json.dumps({"op": "audio", "session": session, "pcm": base64.b64encode(pcm[i:i + 640]).decode()})
            for i in range(0, len(pcm), 640)]


class Helper:
    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.send({"op": "prepare", "locale": "en-US"})
        assert json.loads(self.process.stdout.readline())["event"] == "ready"

    def send(self, request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()

    def until_final(self):
        while True:
            event = json.loads(self.process.stdout.readline())
            if event["event"] in ("final", "error"):
                return time.perf_counter(), event

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def main():
    path = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    pcm = speech()
    seconds = len(pcm) / 32000
    helper = Helper(path)
    factors, delays = [], []
    for run in range(runs):
        helper.send({"op": "start", "session": 2 * run})
        start = time.perf_counter()
        helper.process.stdin.write("\n".join(lines(pcm, 2 * run)) + "\n")
        helper.send({"op": "end", "session": 2 * run})
        done, event = helper.until_final()
        factors.append((done - start) / seconds)
        helper.send({"op": "start", "session": 2 * run + 1})
        for line in lines(pcm, 2 * run + 1):
            helper.process.stdin.write(line + "\n")
            helper.process.stdin.flush()
            time.sleep(0.02)
        ended = time.perf_counter()
        helper.send({"op": "end", "session": 2 * run + 1})
        done, event = helper.until_final()
        delays.append(done - ended)
    helper.close()
    print(f"{seconds:.2f} s of speech, {runs} runs: real-time factor median {statistics.median(factors):.3f} "
          f"(max {max(factors):.3f}); end to final median {statistics.median(delays) * 1000:.0f} ms "
          f"(max {max(delays) * 1000:.0f} ms); text: {event.get('text', event)!r}")


if __name__ == "__main__":
    main()
