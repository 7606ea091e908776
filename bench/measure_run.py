#!/usr/bin/env python3
"""Runs a command once, its output thrown away, and prints on one line its wall time in
microseconds, its minor page faults, its peak resident memory in KiB (file pages it mapped
included) and, with --anon, the most anonymous memory in KiB it was seen to hold (sampled
every 0.2 ms: memory of the process's own, as against the page cache's pages that it maps).

Usage: measure_run.py [--anon] COMMAND [ARGUMENT...]
"""
import os
import subprocess
import sys
import time


def anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def main():
    args = sys.argv[1:]
    sample = bool(args) and args[0] == "--anon"
    if sample:
        args = args[1:]
    if not args:
        sys.exit(__doc__.strip())
    start = time.perf_counter_ns()
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    most = 0
    while True:
        finished, status, usage = os.wait4(child.pid, os.WNOHANG if sample else 0)
        if finished:
            break
        most = max(most, anon_kib(child.pid))
        time.sleep(0.0002)
    elapsed = (time.perf_counter_ns() - start) // 1000
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{args[0]} failed")
    print(elapsed, usage.ru_minflt, usage.ru_maxrss, most)


if __name__ == "__main__":
    main()
