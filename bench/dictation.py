#!/usr/bin/python3
"""Speed, delay and memory of morvik-speech on dictation spoken by flite.

usage: dictation.py MORVIK_SPEECH [--quick]
The dictation is flite's "slt" voice (16 kHz) reading sentences with a pause
of 0.8 to 1.2 s after each, pushed in 20 ms chunks in real time, as the
application does. Prints:
- "end" -> "final" after 10 s, 60 s and 5 minutes of dictation, with the word
  error rate of the final text and the real-time factor (processor time the
  helper used / audio time, which a loaded machine does not inflate);
- the helper's peak resident memory after the 5 minutes;
- "cancel" + "prepare" -> "ready" at moments across a dictation and its end,
  and how soon the next session's first partial follows.
--quick leaves the 5 minutes out.
"""
import base64
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

SENTENCES = [
    "please open the settings and turn on the microphone",
    "the meeting starts at ten in the morning",
    "send the report to the team before friday",
    "we need more time to finish the project",
    "the weather is cold and the roads are wet",
    "call me when you get home tonight",
    "i would like to order a large coffee with milk",
    "the new computer is much faster than the old one",
    "remember to buy bread and eggs on the way back",
    "this document should be ready by the end of the week",
    "the children are playing in the garden",
    "turn left at the next corner and drive for two miles",
]
RATE = 16000
CHUNK = 640  # bytes: 20 ms


def synthesise(folder, sentence):
    wav = os.path.join(folder, "s.wav")
    subprocess.run(["flite", "-voice", "slt", "-t", sentence, "-o", wav], check=True)
    data = open(wav, "rb").read()
    return data[data.index(b"data") + 8:]


def dictation(spoken, seconds):
    """Sentences with pauses until `seconds` of audio; returns (pcm, words)."""
    pcm, words, i = b"", [], 0
    while len(pcm) < seconds * RATE * 2:
        sentence, audio = spoken[i % len(spoken)]
        pause = int(RATE * (0.8 + 0.1 * (i % 5))) * 2
        pcm += audio + bytes(pause)
        words += sentence.split()
        i += 1
    return pcm, words


def word_error_rate(reference, heard):
    row = list(range(len(heard) + 1))
    for i, word in enumerate(reference, 1):
        previous, row[0] = row[0], i
        for j, other in enumerate(heard, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (word != other))
    return row[-1] / len(reference)


def lines(pcm, session):
    return [json.dumps({"op": "audio", "session": session, "pcm": base64.b64encode(pcm[i:i + CHUNK]).decode()}) + "\n"
            for i in range(0, len(pcm), CHUNK)]


class Helper:
    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        # Read all the time, as the application does: a full pipe would stall the helper.
        self.events = queue.Queue()
        threading.Thread(target=self.read, daemon=True).start()
        self.prepare()

    def read(self):
        for line in self.process.stdout:
            self.events.put((time.perf_counter(), json.loads(line)))
        self.events.put((time.perf_counter(), None))

    def send(self, text):
        self.process.stdin.write(text)
        self.process.stdin.flush()

    def request(self, **fields):
        self.send(json.dumps(fields) + "\n")

    def prepare(self):
        self.request(op="prepare", locale="en-US")
        return self.until("ready")

    def until(self, *names):
        while True:
            at, event = self.events.get()
            if event is None:
                raise SystemExit("morvik-speech ended")
            if event["event"] in names or event["event"] == "error":
                return at, event

    def push_real_time(self, pcm, session, stop_at=None):
        """Pushes 20 ms per 20 ms; returns early at `stop_at` seconds of audio.
        Returns when the session's first partial came, after the first chunk."""
        begun, first = time.perf_counter(), None
        for n, line in enumerate(lines(pcm, session)):
            if stop_at is not None and n * 0.02 >= stop_at:
                break
            delay = begun + n * 0.02 - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            self.send(line)
            while first is None and not self.events.empty():
                at, event = self.events.get()
                if event and event["event"] == "partial" and event["session"] == session:
                    first = at - begun
        return first

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_memory_mib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def main():
    path = sys.argv[1]
    quick = "--quick" in sys.argv
    with tempfile.TemporaryDirectory() as folder:
        spoken = [(sentence, synthesise(folder, sentence)) for sentence in SENTENCES]
    helper = Helper(path)
    session = 0

    for seconds in [10, 60] + ([] if quick else [300]):
        pcm, words = dictation(spoken, seconds)
        session += 1
        helper.request(op="start", session=session)
        cpu = helper.cpu_seconds()
        helper.push_real_time(pcm, session)
        ended = time.perf_counter()
        helper.request(op="end", session=session)
        done, event = helper.until("final")
        error = word_error_rate(words, event.get("text", "").split()) if event["event"] == "final" else 1
        seconds = len(pcm) / RATE / 2
        print(f"{seconds:4.0f} s dictation: end -> final {(done - ended) * 1000:4.0f} ms, "
              f"word error rate {error:.1%}, real-time factor {(helper.cpu_seconds() - cpu) / seconds:.3f}"
              + ("" if event["event"] == "final" else f" ({event})"))
    if not quick:
        print(f"peak resident memory after 5 minutes: {helper.peak_memory_mib():.1f} MiB")

    # Cancel at moments across a sentence, its pause and the end pass.
    pcm, _ = dictation(spoken, 20)
    delays, firsts = [], []
    for moment in [0.5, 1.3, 2.1, 2.9, 3.7, 6.0, 11.0, 19.0, None]:
        session += 1
        helper.request(op="start", session=session)
        firsts.append(helper.push_real_time(pcm, session, stop_at=moment))
        if moment is None:
            helper.request(op="end", session=session)
            time.sleep(0.05)
        begun = time.perf_counter()
        helper.request(op="cancel")
        done, _ = helper.prepare()
        delays.append(done - begun)
    print(f"cancel + prepare -> ready: max {max(delays) * 1000:.1f} ms over {len(delays)} moments "
          f"(median {sorted(delays)[len(delays) // 2] * 1000:.1f} ms)")
    # The first word ends 0.3 s into the audio; the later sessions follow a cancelled one.
    def ms(first):
        return "none" if first is None else f"{first * 1000:.0f} ms"
    print(f"first partial of a session after its first audio: {ms(firsts[1])} after a short session, "
          f"{', '.join(ms(first) for first in firsts[2:])} after one cancelled later and later in a dictation")
    helper.close()


if __name__ == "__main__":
    main()
