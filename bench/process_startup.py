#!/usr/bin/python3
"""Times whole processes side by side: a helper against /bin/true, interleaved in one run.

usage: process_startup.py [--stdin TEXT] HELPER [RUNS] [ARG...]
Prints the median wall time of each, their ratio, and the helper's peak memory.
The helper gets the arguments and, with --stdin, the text on its standard input.
"""
import os
import statistics
import subprocess
import sys
import time


def run_once(path, args=(), stdin=None):
    devnull = os.open(os.devnull, os.O_RDWR)
    source = devnull
    if stdin is not None:
        source, writer = os.pipe()
        os.write(writer, stdin)
        os.close(writer)
    start = time.perf_counter()
    pid = os.posix_spawn(path, [path, *args], os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, source, 0), (os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status, _ = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    os.close(devnull)
    if source != devnull:
        os.close(source)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{path} exited with {status}")
    return elapsed


def peak_kib(path, args=(), stdin=None):
    """Peak resident memory, from GNU time: Linux keeps the highest RSS across
    exec, so it must be measured from a small parent, not from Python."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", path, *args], input=stdin, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, check=True)
    return int(result.stderr.decode().strip().splitlines()[-1])


def main():
    argv = sys.argv[1:]
    stdin = None
    if argv[0] == "--stdin":
        stdin, argv = argv[1].encode(), argv[2:]
    helper = argv[0]
    runs = int(argv[1]) if len(argv) > 1 else 300
    args = argv[2:]
    times = {helper: [], "/bin/true": []}
    for _ in range(runs):
        times[helper].append(run_once(helper, args, stdin))
        times["/bin/true"].append(run_once("/bin/true"))
    helper_ms = statistics.median(times[helper]) * 1000
    true_ms = statistics.median(times["/bin/true"]) * 1000
    print(f"{os.path.basename(helper)}: median {helper_ms:.3f} ms, /bin/true: median {true_ms:.3f} ms, "
          f"ratio {helper_ms / true_ms:.2f}x ({runs} runs each, interleaved); "
          f"peak memory {peak_kib(helper, args, stdin)} KiB (/bin/true {peak_kib('/bin/true')} KiB)")


if __name__ == "__main__":
    main()
