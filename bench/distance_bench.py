#!/usr/bin/env python3
"""A first benchmark of the analysis of a dissimilarity: one factor of 5 levels,
Bray-Curtis on 200 species, n samples, 999 permutations, side by side with vegan's
adonis2 and scikit-bio's permanova, each tool computing its own distances.

The data are written once (species.csv, labels.csv: counts from a fixed seed, the
groups differing a little). Each tool runs whole, in turn, --runs times; the median
wall time is reported:
- Morvenak: `morvenak run --distance bray --permutations 999 --threads T`;
- vegan: Rscript reading the tables, vegdist + adonis2 with 99 permutations, its
  time extrapolated to 999 as (whole - test) + test x 999 / 99, the test's time being
  adonis2's with 99 permutations less adonis2's with none (both measured);
- scikit-bio: Debian's /usr/bin/python3 reading the tables, DistanceMatrix of
  scipy's braycurtis (skbio's beta_diversity), permanova with 999 permutations.
The F of each is printed: they must agree.

With --subgroups K the factor's levels each hold K subgroups (labels.csv gains
a column "sub", sample i in subgroup i % (5 K)), the design is g / sub and only
Morvenak runs (`--task anova`), its peak memory measured by /usr/bin/time.

usage: distance_bench.py [--build build] [--work /tmp/morvenak-distance] [--n 2000]
                         [--threads 1] [--runs 3] [--no-vegan] [--subgroups K]
"""
import argparse
import os
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

R_SCRIPT = r"""
suppressMessages(library(vegan))
a <- commandArgs(TRUE)
y <- as.matrix(read.csv(a[1], row.names = 1))
g <- read.csv(a[2], row.names = 1)[rownames(y), , drop = FALSE]
t0 <- proc.time()[["elapsed"]]
d <- vegdist(y, "bray")
t1 <- proc.time()[["elapsed"]]
fit <- adonis2(d ~ g, data = g, permutations = 0, parallel = 1)
t2 <- proc.time()[["elapsed"]]
test <- adonis2(d ~ g, data = g, permutations = as.integer(a[3]), parallel = 1)
t3 <- proc.time()[["elapsed"]]
cat(sprintf("distances %.3f fit %.3f test %.3f F %.10g\n", t1 - t0, t2 - t1, t3 - t2, test$F[1]))
"""

SKBIO = r"""
import sys, time, numpy, pandas
from skbio.diversity import beta_diversity
from skbio.stats.distance import permanova
y = pandas.read_csv(sys.argv[1], index_col=0)
g = pandas.read_csv(sys.argv[2], index_col=0).loc[y.index]
d = beta_diversity("braycurtis", y.values, ids=[str(i) for i in y.index])
r = permanova(d, list(g["g"]), permutations=int(sys.argv[3]))
print("F %.10g" % r["test statistic"])
"""


def write_data(folder, n, p, subgroups=0):
    species, labels = os.path.join(folder, "species.csv"), os.path.join(folder, "labels.csv")
    if os.path.exists(labels):
        return species, labels
    rnd = random.Random(n * 7919 + p)
    with open(species + ".tmp", "w") as f:
        f.write("sample," + ",".join("sp%d" % j for j in range(p)) + "\n")
        for i in range(n):
            g = i % 5
            f.write("s%d," % i + ",".join(str(max(0, int(rnd.expovariate(1.0) * (3 + (j % 5 == g) * 2)) - 1))
                                          for j in range(p)) + "\n")
    os.rename(species + ".tmp", species)
    with open(labels, "w") as f:
        if subgroups:
            f.write("sample,g,sub\n" + "".join("s%d,g%d,h%d\n" % (i, i % 5, i % (5 * subgroups)) for i in range(n)))
        else:
            f.write("sample,g\n" + "".join("s%d,g%d\n" % (i, i % 5) for i in range(n)))
    return species, labels


def wall(argv, **kw):
    start = time.perf_counter()
    out = subprocess.run(argv, capture_output=True, text=True, check=True, **kw)
    return time.perf_counter() - start, out.stdout


def nested(a, folder, species, labels, env):
    times, peaks = [], []
    for _ in range(a.runs):
        out = os.path.join(folder, "out")
        subprocess.run(["rm", "-rf", out], check=True)
        start = time.perf_counter()
        run = subprocess.run(["/usr/bin/time", "-f", "peak %M", os.path.join(a.build, "morvenak"), "run",
                              "--species", species, "--labels", labels, "--main", "g", "--nested", "sub",
                              "--distance", "bray", "--permutations", "999", "--task", "anova", "--threads",
                              str(a.threads), "--quiet", "--output", out], capture_output=True, text=True,
                             check=True, env=env)
        times.append(time.perf_counter() - start)
        peaks.append(int(re.search(r"peak (\d+)", run.stderr).group(1)) / 1024.0)
        with open(os.path.join(out, "results.tsv")) as f:
            rows = [line.split("\t") for line in f.read().split("\n")[1:3]]
    print("Morvenak   %8.2f s  peak %.0f MiB  (runs: %s)" % (
        statistics.median(times), max(peaks), ", ".join("%.2f" % t for t in times)))
    for r in rows:
        print("  %s %s F %s P %s" % (r[0], r[1], r[6], r[7]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--work", default="/tmp/morvenak-distance")
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--p", type=int, default=200)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--no-vegan", action="store_true", help="leave vegan out (it takes minutes beyond n = 2,000)")
    ap.add_argument("--subgroups", type=int, default=0, help="K subgroups in each level: Morvenak alone, g / sub")
    a = ap.parse_args()
    subprocess.run(["cmake", "--build", a.build, "--target", "morvenak", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    folder = os.path.join(a.work, "n%d-p%d" % (a.n, a.p) + ("-sub%d" % a.subgroups if a.subgroups else ""))
    os.makedirs(folder, exist_ok=True)
    species, labels = write_data(folder, a.n, a.p, a.subgroups)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    print("machine: %s, %d CPUs, load average %s; n %d, p %d, threads %d" % (
        os.uname().release, os.cpu_count(), open("/proc/loadavg").read().split()[0], a.n, a.p, a.threads))
    if a.subgroups:
        nested(a, folder, species, labels, env)
        return
    ours, vegan, skbio = [], [], []
    f_ours = f_vegan = f_skbio = None
    for _ in range(a.runs):
        out = os.path.join(folder, "out")
        subprocess.run(["rm", "-rf", out], check=True)
        t, _ = wall([os.path.join(a.build, "morvenak"), "run", "--species", species, "--labels", labels, "--main",
                     "g", "--distance", "bray", "--permutations", "999", "--threads", str(a.threads), "--quiet",
                     "--output", out], env=env)
        ours.append(t)
        with open(os.path.join(out, "results.tsv")) as f:
            f_ours = f.read().split("\n")[1].split("\t")[6]
        if not a.no_vegan:
            t, text = wall(["Rscript", "-e", R_SCRIPT, species, labels, "99"], env=env)
            m = re.search(r"distances ([0-9.]+) fit ([0-9.]+) test ([0-9.]+) F (\S+)", text)
            test = float(m.group(3)) - float(m.group(2))  # the permutations' share of the test
            vegan.append(t + test * (999.0 / 99.0 - 1.0))
            f_vegan = m.group(4)
        t, text = wall(["/usr/bin/python3", "-c", SKBIO, species, labels, "999"], env=env)
        skbio.append(t)
        f_skbio = text.split()[1]
    mo, ms = statistics.median(ours), statistics.median(skbio)
    print("Morvenak   %8.2f s  F %s" % (mo, f_ours))
    if vegan:
        mv = statistics.median(vegan)
        print("vegan      %8.2f s  F %s  (99 permutations, extrapolated to 999)  ratio %.0f" % (mv, f_vegan, mv / mo))
    print("scikit-bio %8.2f s  F %s  ratio %.1f" % (ms, f_skbio, ms / mo))


if __name__ == "__main__":
    main()
