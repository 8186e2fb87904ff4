#!/usr/bin/env python3
"""A model of terms side by side with vegan's adonis2: vegan's pyrifos (132 samples,
178 species, untransformed, Euclidean), dose * week with the interaction, sequential
sums of squares, 9,999 permutations.

The tables are written once by R from vegan's data (species.csv, labels.csv). The two
tools run in turn, --runs times each, and the medians are reported:
- Morvenak: `morvenak run --model 'dose * week' --permutations N --threads T`, the whole
  command's wall time;
- vegan: adonis2(pyrifos ~ dose * week, method = "euclidean", by = "terms",
  permutations = N, parallel = 1), timed inside the R session (proc.time around the
  call, the data in memory).
Both tools' F are printed: they must agree.

With --large, instead: n = 10,000 samples, p = 500 species (counts from a fixed seed,
the cells differing a little), A (5 levels) * B (10 levels), 999 permutations,
Morvenak alone, its peak memory measured by /usr/bin/time.

usage: model_bench.py [--build build] [--work /tmp/morvenak-model] [--threads 1]
                      [--runs 3] [--permutations 9999] [--large]
"""
import argparse
import csv
import os
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

R_DATA = r"""
suppressMessages(library(vegan))
out <- commandArgs(TRUE)[1]
data(pyrifos)
week <- gl(11, 12, labels = c(-4, -1, 0.1, 1, 2, 4, 8, 12, 15, 19, 24))
dose <- factor(rep(c(0.1, 0, 0, 0.9, 0, 44, 6, 0.1, 44, 0.9, 0, 6), 11))
rn <- paste0("s", seq_len(nrow(pyrifos)))
write.csv(data.frame(sample = rn, pyrifos, check.names = FALSE), file.path(out, "species.csv"),
          row.names = FALSE, quote = FALSE)
write.csv(data.frame(sample = rn, dose = dose, week = week), file.path(out, "labels.csv"), row.names = FALSE,
          quote = FALSE)
"""

R_ADONIS = r"""
suppressMessages(library(vegan))
a <- commandArgs(TRUE)
data(pyrifos)
week <- gl(11, 12, labels = c(-4, -1, 0.1, 1, 2, 4, 8, 12, 15, 19, 24))
dose <- factor(rep(c(0.1, 0, 0, 0.9, 0, 44, 6, 0.1, 44, 0.9, 0, 6), 11))
env <- data.frame(dose, week)
t0 <- proc.time()[["elapsed"]]
r <- adonis2(pyrifos ~ dose * week, data = env, method = "euclidean", by = "terms",
             permutations = as.integer(a[1]), parallel = 1)
t1 <- proc.time()[["elapsed"]]
cat(sprintf("seconds %.3f F %s\n", t1 - t0, paste(sprintf("%.6f", r$F[1:3]), collapse = " ")))
"""


def morvenak(build, work, argv, tag):
    out = os.path.join(work, "out-" + tag)
    subprocess.run(["rm", "-rf", out], check=True)
    t0 = time.monotonic()
    r = subprocess.run(["/usr/bin/time", "-f", "peak %M", os.path.join(build, "morvenak"), "run", "--quiet",
                        "--output", out] + argv, cwd=work, capture_output=True, text=True)
    seconds = time.monotonic() - t0
    if r.returncode != 0:
        sys.exit(f"morvenak failed: {r.stderr}")
    peak = int(re.search(r"peak (\d+)", r.stderr).group(1)) / 1024.0
    with open(os.path.join(out, "results.tsv")) as f:
        fs = [row["F"] for row in csv.DictReader(f, delimiter="\t") if row["F"]]
    return seconds, peak, " ".join("%.6f" % float(x) for x in fs)


def pyrifos(opts):
    subprocess.run(["Rscript", "-", opts.work], input=R_DATA, text=True, check=True)
    argv = ["--species", "species.csv", "--labels", "labels.csv", "--model", "dose * week", "--permutations",
            str(opts.permutations), "--threads", str(opts.threads)]
    ours, theirs = [], []
    for k in range(opts.runs):
        seconds, _, f = morvenak(opts.build, opts.work, argv, "pyrifos")
        ours.append(seconds)
        print(f"run {k + 1}: morvenak {seconds:.3f} s, F {f}", flush=True)
        r = subprocess.run(["Rscript", "-", str(opts.permutations)], input=R_ADONIS, capture_output=True, text=True,
                           check=True)
        m = re.search(r"seconds ([\d.]+) F (.*)", r.stdout)
        theirs.append(float(m.group(1)))
        print(f"run {k + 1}: adonis2 {float(m.group(1)):.3f} s, F {m.group(2)}", flush=True)
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"medians: morvenak {a:.3f} s, adonis2 {b:.3f} s, ratio {b / a:.1f}")


def large(opts):
    n, p = 10000, 500
    rng = random.Random(11)
    species, labels = os.path.join(opts.work, "large.csv"), os.path.join(opts.work, "large.labels.csv")
    if not os.path.exists(species):
        with open(species, "w") as fy, open(labels, "w") as fl:
            fy.write("sample," + ",".join(f"sp{j}" for j in range(p)) + "\n")
            fl.write("sample,A,B\n")
            for i in range(n):
                a, b = i % 5, (i // 5) % 10
                shift = 0.3 * a + 0.2 * b + (0.4 if (a, b) == (2, 3) else 0.0)
                row = [str(int(rng.expovariate(1.0) * (1.0 + shift * (j % 7 == 0)) * 3)) for j in range(p)]
                fy.write(f"s{i}," + ",".join(row) + "\n")
                fl.write(f"s{i},a{a},b{b}\n")
    argv = ["--species", "large.csv", "--labels", "large.labels.csv", "--model", "A * B", "--permutations", "999",
            "--threads", str(opts.threads)]
    times = []
    for k in range(opts.runs):
        seconds, peak, f = morvenak(opts.build, opts.work, argv, "large")
        times.append(seconds)
        print(f"run {k + 1}: morvenak {seconds:.3f} s, peak {peak:.0f} MiB, F {f}", flush=True)
    print(f"median: {statistics.median(times):.3f} s")


parser = argparse.ArgumentParser()
parser.add_argument("--build", default=os.path.join(ROOT, "build"))
parser.add_argument("--work", default="/tmp/morvenak-model")
parser.add_argument("--threads", type=int, default=1)
parser.add_argument("--runs", type=int, default=3)
parser.add_argument("--permutations", type=int, default=9999)
parser.add_argument("--large", action="store_true")
opts = parser.parse_args()
opts.build = os.path.abspath(opts.build)
os.makedirs(opts.work, exist_ok=True)
(large if opts.large else pyrifos)(opts)
