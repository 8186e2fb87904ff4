#!/usr/bin/env python3
"""`morvenak run --pairwise` on dune: for Management alone on Bray-Curtis, each pair's F
equals vegan's adonis2 on the samples of the two levels (run live) to 1e-10 relative,
and the adjusted P equal R's p.adjust(P, "holm"), and the average Bray-Curtis
dissimilarity within and between its levels vegdist's; for Management over Use within it,
each pair's F equals the F written here from the squared Euclidean distances:
SS(Management) = SS_total - SS_within(Management), SS(Use) = SS_within(Management) -
SS_within(Use), each SS_within the sum over groups of sum_{i<j} d_ij^2 / n_group. One
thread and two write the same pairwise.tsv.

usage: run_pairwise.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails (and when R or vegan is missing).
"""
import argparse
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile

from checks import check, finish

R_PEER = r"""
suppressMessages(library(vegan))
a <- commandArgs(TRUE)
y <- read.csv("dune.csv", row.names = 1, check.names = FALSE)
env <- read.csv("dune.env.csv", row.names = 1)
pairs <- jsonlite::fromJSON(a[1])$pairwise$pairs[[1]]
for (k in seq_len(nrow(pairs))) {
  keep <- env$Management %in% c(pairs$level_a[k], pairs$level_b[k])
  sub <- env[keep, , drop = FALSE]
  f <- adonis2(vegdist(y[keep, ], "bray") ~ Management, data = sub, permutations = 0)$F[1]
  cat(sprintf("%.17g", f), "\n")
}
cat("holm", sprintf("%.17g", p.adjust(pairs$P, "holm")), "\n")
d <- as.matrix(vegdist(y, "bray"))
m <- jsonlite::fromJSON(a[1])$pairwise$distances[[1]]
g <- env$Management
gap <- 0
for (k in seq_len(nrow(m))) {
  block <- d[g == m$level_a[k], g == m$level_b[k], drop = FALSE]
  mean <- if (m$level_a[k] == m$level_b[k]) mean(block[upper.tri(block)]) else mean(block)
  gap <- max(gap, abs(mean - m$mean_distance[k]) / mean)
}
cat("means", nrow(m), gap, "\n")
"""


def run(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet"] + argv, cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def near(a, b):
    return abs(a - b) <= 1e-10 * max(abs(a), abs(b))


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
work = tempfile.mkdtemp(prefix="run_pairwise_")
dune = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "data", "dune")
for name in ("dune.csv", "dune.env.csv"):
    shutil.copy(os.path.join(dune, name), work)

# Management alone, Bray-Curtis, against adonis2 and p.adjust.
common = ["--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management", "--task", "anova",
          "--permutations", "199"]
for threads in ("1", "2"):
    r = run(common + ["--distance", "bray", "--pairwise", "Management", "--threads", threads,
                      "--output", "bray" + threads], work)
    check(r.returncode == 0, f"Bray-Curtis pairs: {r.stderr}")
if r.returncode == 0:
    one, two = (open(os.path.join(work, "bray" + t, "pairwise.tsv")).read() for t in "12")
    check(one == two, "one thread and two write different pairwise.tsv")
    with open(os.path.join(work, "bray1", "results.json")) as f:
        pairs = json.load(f)["pairwise"][0]["pairs"]
    peer = subprocess.run(["Rscript", "-", os.path.join("bray1", "results.json")], input=R_PEER,
                          capture_output=True, text=True, cwd=work)
    check(peer.returncode == 0, f"R with vegan is needed: {peer.stderr.strip()[-300:]}")
    lines = peer.stdout.splitlines()
    means = lines.pop().split() if lines and lines[-1].startswith("means") else ["means", "0", "nan"]
    # Four levels: each with itself and with each later one.
    check(means[1] == "10" and float(means[2]) <= 1e-12, f"average distances against vegdist's: {means}")
    check(len(pairs) == 6 and len(lines) == 7, f"six pairs and their peers: {len(pairs)}, {lines}")
    for pair, line in zip(pairs, lines):
        check(near(pair["F"], float(line)) and near(pair["t"] ** 2, pair["F"]),
              f"{pair['level_a']}, {pair['level_b']}: F {pair['F']}, adonis2 {line}")
    if lines:
        holm = [float(v) for v in lines[-1].split()[1:]]
        check(holm == [p["P_adjusted"] for p in pairs], f"Holm: {holm}")

# Management over Use within it, Euclidean, against the sums of squared distances.
r = run(common + ["--nested", "Use", "--pairwise", "Management", "--output", "nested"], work)
check(r.returncode == 0, f"nested pairs: {r.stderr}")
if r.returncode == 0:
    with open(os.path.join(work, "dune.csv")) as f:
        y = {row[0]: [float(v) for v in row[1:]] for row in list(csv.reader(f))[1:]}
    with open(os.path.join(work, "dune.env.csv")) as f:
        env = {row["sample"] if "sample" in row else next(iter(row.values())): row for row in csv.DictReader(f)}
    samples = list(y)

    def within(objects, key):
        groups = {}
        for s in objects:
            groups.setdefault(key(s), []).append(s)
        total = 0.0
        for g in groups.values():
            total += sum(sum((a - b) ** 2 for a, b in zip(y[g[i]], y[g[j]])) for i in range(len(g))
                         for j in range(i + 1, len(g))) / len(g)
        return total, len(groups)

    with open(os.path.join(work, "nested", "results.json")) as f:
        pairs = json.load(f)["pairwise"][0]["pairs"]
    check(len(pairs) == 6, f"six pairs of Management: {len(pairs)}")
    for pair in pairs:
        objects = [s for s in samples if env[s]["Management"] in (pair["level_a"], pair["level_b"])]
        sst, _ = within(objects, lambda s: "")
        ssa, _ = within(objects, lambda s: env[s]["Management"])
        ssb, cells = within(objects, lambda s: (env[s]["Management"], env[s]["Use"]))
        df_b = cells - 2
        expected = (sst - ssa) / ((ssa - ssb) / df_b) if df_b > 0 and ssa > ssb else None
        check(expected is not None and pair["F"] is not None and near(pair["F"], expected) and pair["df2"] == df_b,
              f"{pair['level_a']}, {pair['level_b']} over Use: F {pair['F']} df2 {pair['df2']}, expected "
              f"{expected} on {df_b}")
sys.exit(finish([work]))
