#!/usr/bin/env python3
"""The memory estimate of `morvenak run` against the peak it reaches.

For each case the data are written once (gen_large.py through run_large.py, the same
files as the benchmark of large designs) and `morvenak run` runs on them as a user runs
it (Hellinger, --quiet, a fresh output folder):
- the estimate: the smallest --max-memory the run accepts, to 1 MiB, found by refusals
  (each refusal names the estimate it refused by) and then by bisection, since the run
  is accepted exactly when every one of its checks' estimates fits;
- the peak: the maximum resident set size of a run without --max-memory under
  /usr/bin/time -v, the largest of --runs runs.
The estimate holds when the peak is within it.

usage: memory_bench.py [--build build] [--work /tmp/morvenak-large] [--cases a,b,...]
                       [--permutations 99] [--runs 3]
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run_large  # noqa: E402  (the cases' data and tables)

MiB = 1 << 20
# name: n, p, levels, task; the scale cases of run_large.py and two more: a wide table
# with its ordinations, and the table of 20,000 samples by 2,000 species.
CASES = {
    "a": (2000, 2000, "4,5,5", "anova"),
    "a-both": (2000, 2000, "4,5,5", "both"),
    "b": (10000, 1000, "5,10", "anova"),
    "b-both": (10000, 1000, "5,10", "both"),
    "c": (20000, 500, "5", "anova"),
    "m": (5000, 400, "5,10", "anova"),
    "w-both": (6000, 1000, "5", "both"),
    "x": (20000, 2000, "5", "anova"),
}
UNITS = {"KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}


def argv_of(binary, folder, levels, task, nperm, out):
    species, labels = run_large.tables(folder)
    argv = [binary, "run", "--species", species, "--labels", labels, "--main", "f1", "--transform", "hellinger",
            "--permutations", str(nperm), "--task", task, "--quiet", "--output", out]
    for k in range(1, len(levels.split(","))):
        argv += ["--nested", "f%d" % (k + 1)]
    return argv


def accepted(argv, out, budget):
    """(True, None) when the run is accepted within `budget` bytes, else (False, the estimate it names)."""
    subprocess.run(["rm", "-rf", out], check=True)
    got = subprocess.run(argv + ["--max-memory", str(budget)], capture_output=True, text=True)
    subprocess.run(["rm", "-rf", out], check=True)
    if got.returncode == 0:
        return True, None
    m = re.search(r"not enough memory: .* needs about ([0-9.]+) (KB|MB|GB)", got.stderr)
    if got.returncode != 1 or not m:
        sys.exit("unexpected end of %s: status %d\n%s" % (" ".join(argv), got.returncode, got.stderr))
    return False, float(m.group(1)) * UNITS[m.group(2)]


def estimate(argv, out):
    """The smallest --max-memory (in bytes, to 1 MiB) that the run accepts."""
    lo, hi = 1024, None  # refused at lo; accepted at hi
    while hi is None:
        ok, named = accepted(argv, out, lo)
        if ok:
            return lo
        # The estimate named is rounded: the threshold is at least what it names less half its last digit.
        unit = 0.05 * UNITS["GB"] if named >= UNITS["GB"] else 0.5 * UNITS["MB"] if named >= MiB else 512
        candidate = int(named + unit) + 1
        if accepted(argv, out, candidate)[0]:
            hi = candidate
            lo = max(lo, int(named - unit))
        else:
            lo = candidate
    while hi - lo > MiB:
        mid = (lo + hi) // 2
        if accepted(argv, out, mid)[0]:
            hi = mid
        else:
            lo = mid
    return hi


def peak(argv, out):
    subprocess.run(["rm", "-rf", out], check=True)
    got = subprocess.run(["/usr/bin/time", "-v"] + argv, capture_output=True, text=True, check=True)
    subprocess.run(["rm", "-rf", out], check=True)
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", got.stderr).group(1)) * 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(run_large.ROOT, "build"))
    ap.add_argument("--work", default="/tmp/morvenak-large")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--permutations", type=int, default=99)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    subprocess.run(["cmake", "--build", a.build, "--target", "morvenak", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    binary = os.path.join(a.build, "morvenak")
    os.makedirs(a.work, exist_ok=True)
    print("machine: %s, %d CPUs, load average %s" % (os.uname().release, os.cpu_count(),
                                                      open("/proc/loadavg").read().split()[0]))
    print("%-7s %6s %5s %-6s %-6s %12s %12s %7s %s" % ("case", "n", "p", "levels", "task", "estimate MiB",
                                                       "peak MiB", "share", "holds"))
    failed = False
    for name in a.cases.split(","):
        n, p, levels, task = CASES[name]
        folder = run_large.data(a.work, n, p, levels)
        out = os.path.join(folder, "memory-output")
        argv = argv_of(binary, folder, levels, task, a.permutations, out)
        e = estimate(argv, out)
        top = max(peak(argv, out) for _ in range(a.runs))
        holds = top <= e
        failed = failed or not holds
        print("%-7s %6d %5d %-6s %-6s %12.0f %12.0f %6.0f%% %s" % (name, n, p, levels, task, e / MiB, top / MiB,
                                                                 100.0 * top / e, "yes" if holds else "NO"),
              flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
