#!/usr/bin/env python3
"""The default thread count follows the CPUs the process may use: pinned to
one CPU by taskset, the probe says 1; on every CPU of its mask it says the
mask's size (unless a cgroup quota is smaller).

usage: threads_test.py PROBE
"""
import os
import subprocess
import sys


def quota():
    """The cgroup CPU quota, rounded up, or None."""
    for path, period_path in (("/sys/fs/cgroup/cpu.max", None),
                              ("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "/sys/fs/cgroup/cpu/cpu.cfs_period_us")):
        try:
            text = open(path).read().split()
        except OSError:
            continue
        if period_path is None:
            if text[0] == "max":
                return None
            q, period = int(text[0]), int(text[1])
        else:
            q, period = int(text[0]), int(open(period_path).read())
        if q > 0:
            return -(-q // period)
    return None


def run(args):
    return int(subprocess.run(args, check=True, capture_output=True, text=True).stdout)


def main():
    probe = sys.argv[1]
    failures = []
    pinned = run(["taskset", "-c", "0", probe])
    if pinned != 1:
        failures.append("pinned to CPU 0 the probe says %d threads, not 1" % pinned)
    mask = len(os.sched_getaffinity(0))
    expected = min(mask, quota() or mask, 64)
    free = run([probe])
    if free != expected:
        failures.append("on %d CPUs the probe says %d threads, not %d" % (mask, free, expected))
    if mask >= 2:
        two = run(["taskset", "-c", "0,1", probe])
        if two != min(2, expected):
            failures.append("on CPUs 0 and 1 the probe says %d threads" % two)
    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
