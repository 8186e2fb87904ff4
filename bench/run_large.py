#!/usr/bin/env python3
"""The benchmark of large designs and of the comparison with vegan.

For each case the data are written once (gen_large.py, fixed seed) and both
tools run on them: Morvenak through bench-large (the library API on the same
tables; built here with CMake), three times, the median of the analysis time
reported with the whole process's wall time and peak memory (/usr/bin/time
-v); vegan through vegan_time.R in one R session (rda + anova with
how(nperm = N), parallel = 1), timed with the data in memory. Both run with
OPENBLAS_NUM_THREADS=1. For the large cases vegan runs 99 permutations and
its time is extrapolated: fit + test x N / 99.

With --command, Morvenak runs as its users run it: `morvenak run` on the same data
written as a species table and a label table (CSV with a header and sample names),
--transform hellinger --quiet into a fresh folder, the whole command timed; with
--processes K under `mpirun -np K` (an MPI build), each process with --threads.

usage: run_large.py [--build build] [--work /tmp/morvenak-large] [--cases c1,c2,...] [--no-vegan]
                    [--command [--threads T] [--processes K]]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# name: n, p, levels, permutations, task, vegan permutations (None: the same, 0: none)
CASES = {
    "v1": (501, 500, "5", 999, "anova", None),
    "v2": (501, 500, "5", 9999, "anova", None),
    "v3": (132, 178, "5", 9999, "anova", None),
    "v4": (20, 30, "5", 99999, "anova", None),
    "a": (2000, 2000, "4,5,5", 9999, "anova", 99),
    "b": (10000, 1000, "5,10", 999, "anova", 99),
    "b-both": (10000, 1000, "5,10", 999, "both", None),
    "c": (20000, 500, "5", 999, "anova", 99),
    "classic": (501, 500, "4,5,3", 99999, "anova", 0),  # 0: no vegan (Morvenak's own target)
    # the scaling over processes (MPI): a medium design beyond the classic limits
    "m": (5000, 400, "5,10", 999, "anova", None),
}


def data(work, n, p, levels):
    folder = os.path.join(work, "n%d-p%d-l%s" % (n, p, levels.replace(",", "-")))
    if not os.path.exists(os.path.join(folder, "Y.tsv")):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_large.py"), folder, "--n", str(n), "--p", str(p),
                        "--levels", levels, "--seed", str(n + p)], check=True)
    return folder


def morvenak(binary, folder, nperm, task):
    out = subprocess.run(["/usr/bin/time", "-v", binary, folder, "--nperm", str(nperm), "--task", task],
                         capture_output=True, text=True, check=True)
    analysis = float(re.search(r"analysis ([0-9.]+) s", out.stdout).group(1))
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", out.stderr).group(1)
    parts = [float(x) for x in wall.split(":")]
    seconds = parts[-1] + 60 * parts[-2] + (3600 * parts[-3] if len(parts) > 2 else 0)
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", out.stderr).group(1))
    return analysis, seconds, peak / 1024.0, out.stdout


def tables(folder):
    """The data as `morvenak run` reads them: species.csv and labels.csv, written once."""

    def with_names(source, target, column):
        # A header of column names, and each row under its sample's name.
        with open(os.path.join(folder, source)) as f, open(target + ".tmp", "w") as out:
            for i, line in enumerate(f):
                values = line.rstrip("\n").split("\t")
                if i == 0:
                    out.write("sample," + ",".join(column % (j + 1) for j in range(len(values))) + "\n")
                out.write("s%d,%s\n" % (i + 1, ",".join(values)))
        os.rename(target + ".tmp", target)

    species, labels = os.path.join(folder, "species.csv"), os.path.join(folder, "labels.csv")
    if not os.path.exists(labels):
        with_names("Y.tsv", species, "sp%d")
        with_names("factors.tsv", labels, "f%d")
    return species, labels


def command(binary, folder, nperm, task, threads, processes, levels):
    """One `morvenak run` of the case: (None, wall seconds, peak MB of the largest process, report)."""
    species, labels = tables(folder)
    out = os.path.join(folder, "run-output")
    subprocess.run(["rm", "-rf", out], check=True)
    argv = [binary, "run", "--species", species, "--labels", labels, "--main", "f1", "--transform", "hellinger",
            "--permutations", str(nperm), "--task", task, "--threads", str(threads), "--quiet", "--output", out]
    for k in range(1, len(levels.split(","))):
        argv += ["--nested", "f%d" % (k + 1)]
    if processes > 1:
        argv = ["mpirun", "--oversubscribe", "--allow-run-as-root", "-np", str(processes)] + argv
    # The wall time of the command alone, to the microsecond; the peak from a second run
    # under time -v (which rounds its own wall time to 10 ms and adds its own start).
    start = time.perf_counter()
    subprocess.run(argv, capture_output=True, check=True)
    seconds = time.perf_counter() - start
    subprocess.run(["rm", "-rf", out], check=True)
    got = subprocess.run(["/usr/bin/time", "-v"] + argv, capture_output=True, text=True, check=True)
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", got.stderr).group(1))
    with open(os.path.join(out, "Morvenak.out")) as f:
        report = f.read()
    return None, seconds, peak / 1024.0, report


def vegan(folder, nperm):
    out = subprocess.run(["Rscript", os.path.join(HERE, "vegan_time.R"), folder, str(nperm)],
                         capture_output=True, text=True, check=True)
    m = re.search(r"fit ([0-9.]+) test ([0-9.]+)", out.stdout)
    blas = re.search(r"BLAS: (.*)", out.stdout).group(1).strip()
    return float(m.group(1)), float(m.group(2)), blas


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--work", default="/tmp/morvenak-large")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--no-vegan", action="store_true")
    ap.add_argument("--command", action="store_true", help="time `morvenak run` instead of bench-large")
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--processes", type=int, default=1)
    a = ap.parse_args()
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    target = "morvenak" if a.command else "bench-large"
    subprocess.run(["cmake", "--build", a.build, "--target", target, "-j2"], check=True, stdout=subprocess.DEVNULL)
    binary = os.path.join(a.build, "morvenak") if a.command else os.path.join(a.build, "bench", "bench-large")
    os.makedirs(a.work, exist_ok=True)
    print("machine: %s, %d CPUs, load average %s" % (os.uname().release, os.cpu_count(),
                                                      open("/proc/loadavg").read().split()[0]))
    print("%-8s %6s %6s %-7s %7s %-6s %10s %9s %9s %10s %8s" % ("case", "n", "p", "levels", "perms", "task",
                                                               "analysis", "wall", "peak MB", "vegan", "ratio"))
    for name in a.cases.split(","):
        n, p, levels, nperm, task, vperm = CASES[name]
        folder = data(a.work, n, p, levels)
        if a.command:
            runs = [command(binary, folder, nperm, task, a.threads, a.processes, levels) for _ in range(3)]
        else:
            runs = [morvenak(binary, folder, nperm, task) for _ in range(3)]
        analysis = statistics.median(r[0] for r in runs) if not a.command else float("nan")
        wall = statistics.median(r[1] for r in runs)
        peak = max(r[2] for r in runs)
        vegan_s, ratio = "-", "-"
        if not a.no_vegan and task == "anova" and vperm != 0:
            fit, test, blas = vegan(folder, vperm or nperm)
            total = fit + test * nperm / (vperm or nperm)
            vegan_s = "%.1f%s" % (total, "*" if vperm else "")
            ratio = "%.0f" % (total / wall)
        print("%-8s %6d %6d %-7s %7d %-6s %10.3f %9.3f %9.0f %10s %8s" % (name, n, p, levels, nperm, task, analysis,
                                                                        wall, peak, vegan_s, ratio), flush=True)
    if not a.no_vegan:
        print("vegan's BLAS: %s; * extrapolated from 99 permutations" % blas)


if __name__ == "__main__":
    main()
