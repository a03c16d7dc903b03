#!/usr/bin/python3
"""Times whole processes side by side: a helper against /bin/true, interleaved in one run.

usage: process_startup.py HELPER [RUNS]
Prints the median wall time of each, their ratio, and the helper's peak memory.
"""
import os
import statistics
import subprocess
import sys
import time


def run_once(path):
    devnull = os.open(os.devnull, os.O_RDWR)
    start = time.perf_counter()
    pid = os.posix_spawn(path, [path], os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status, _ = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    os.close(devnull)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{path} exited with {status}")
    return elapsed


def peak_kib(path):
    """Peak resident memory, from GNU time: Linux keeps the highest RSS across
    exec, so it must be measured from a small parent, not from Python."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1])


def main():
    helper = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    times = {helper: [], "/bin/true": []}
    for _ in range(runs):
        for path in (helper, "/bin/true"):
            times[path].append(run_once(path))
    helper_ms = statistics.median(times[helper]) * 1000
    true_ms = statistics.median(times["/bin/true"]) * 1000
    print(f"{os.path.basename(helper)}: median {helper_ms:.3f} ms, /bin/true: median {true_ms:.3f} ms, "
          f"ratio {helper_ms / true_ms:.2f}x ({runs} runs each, interleaved); "
          f"peak memory {peak_kib(helper)} KiB (/bin/true {peak_kib('/bin/true')} KiB)")


if __name__ == "__main__":
    main()
