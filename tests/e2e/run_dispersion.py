#!/usr/bin/env python3
"""`morvenak run --dispersion` against vegan: on dune's Management and on mite's Shrub
(vegan's own data, written by R), Euclidean on the table as given and as Hellinger
transformed, and Bray-Curtis; each sample's distance to its level's centroid and the
F of their anova equal betadisper(type = "centroid", bias.adjust = FALSE) and anova()
of it to 1e-10 relative (with --bias-adjust, bias.adjust = TRUE); each pair's Welch t
and df equal t.test's, and its adjusted P p.adjust's of the raw P (holm and fdr). The
permutations come from the run's seed alone: one thread and two, the same files.

usage: run_dispersion.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails (and when R or vegan is missing).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

from checks import check, finish

R_WRITE = r"""
suppressMessages(library(vegan))
data(dune); data(dune.env); data(mite); data(mite.env)
w <- function(x, f) write.csv(data.frame(sample = rownames(x), x, check.names = FALSE), f, row.names = FALSE,
                              quote = FALSE)
w(dune, "dune.csv"); w(dune.env, "dune.env.csv"); w(mite, "mite.csv"); w(mite.env, "mite.env.csv")
"""

# Argument: the species table, the labels, the factor, the dissimilarity, the
# transformation, the bias adjustment, the results.json of the run; prints the
# largest relative differences.
R_PEER = r"""
suppressMessages(library(vegan))
a <- commandArgs(TRUE)
y <- read.csv(a[1], row.names = 1, check.names = FALSE)
g <- factor(read.csv(a[2], row.names = 1)[[a[3]]])
if (a[5] == "hellinger") y <- decostand(y, "hellinger")
d <- vegdist(y, a[4])
mod <- betadisper(d, g, type = "centroid", bias.adjust = a[6] == "yes")
j <- jsonlite::fromJSON(a[7])
x <- j$dispersion
rel <- function(p, q) max(abs(p - q) / pmax(abs(p), abs(q), 1e-300))
z <- setNames(x$samples$distance, x$samples$sample)
cat("distances", rel(z[names(mod$distances)], mod$distances), "\n")
cat("F", rel(x$F, anova(mod)[["F value"]][1]), "\n")
t <- df <- numeric(0)
for (k in seq_len(nrow(x$pairs))) {
  pa <- x$pairs$level_a[k]; pb <- x$pairs$level_b[k]
  tt <- t.test(mod$distances[g == pa], mod$distances[g == pb])
  t <- c(t, rel(x$pairs$t[k], tt$statistic)); df <- c(df, rel(x$pairs$df[k], tt$parameter))
}
cat("t", max(t), "\n")
cat("df", max(df), "\n")
cat("adjusted", rel(x$pairs$P_adjusted, p.adjust(x$pairs$P, j$options$p_adjust)), "\n")
"""


def run(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet"] + argv, cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
work = tempfile.mkdtemp(prefix="run_dispersion_")
r = subprocess.run(["Rscript", "-"], input=R_WRITE, capture_output=True, text=True, cwd=work)
check(r.returncode == 0, f"R with vegan is needed: {r.stderr.strip()[-300:]}")
cases = [
    ("dune", "Management", "euclidean", "none", "no", "holm"),
    ("dune", "Management", "bray", "none", "yes", "fdr"),
    ("mite", "Shrub", "euclidean", "hellinger", "no", "holm"),
    ("mite", "Shrub", "bray", "none", "no", "holm"),
]
for k, (data, factor, distance, transform, bias, adjust) in enumerate(cases if r.returncode == 0 else []):
    name = f"{data}-{factor}-{distance}-{transform}-{bias}"
    argv = ["--species", f"{data}.csv", "--labels", f"{data}.env.csv", "--main", factor, "--permutations", "199",
            "--dispersion", factor, "--p-adjust", adjust, "--task", "anova"]
    argv += ["--distance", distance] if distance != "euclidean" else []
    argv += ["--transform", transform] if transform != "none" else []
    argv += ["--bias-adjust"] if bias == "yes" else []
    for threads in ("1", "2"):
        out = run(argv + ["--threads", threads, "--output", f"{name}-{threads}"], work)
        check(out.returncode == 0, f"{name}: {out.stderr}")
    if not all(os.path.isdir(os.path.join(work, f"{name}-{t}")) for t in "12"):
        continue
    one, two = ([open(os.path.join(work, f"{name}-{t}", f)).read() for f in ("dispersion.tsv",
                                                                             "dispersion-pairs.tsv")] for t in "12")
    check(one == two, f"{name}: one thread and two differ")
    peer = subprocess.run(["Rscript", "-", f"{data}.csv", f"{data}.env.csv", factor, distance, transform, bias,
                           os.path.join(f"{name}-1", "results.json")],
                          input=R_PEER, capture_output=True, text=True, cwd=work)
    check(peer.returncode == 0, f"{name}: R: {peer.stderr.strip()[-300:]}")
    seen = []
    for line in peer.stdout.splitlines():
        what, value = line.split()
        seen.append(what)
        check(float(value) <= 1e-10, f"{name}: {what} differ from vegan's by {value} relative")
    check(seen == ["distances", "F", "t", "df", "adjusted"], f"{name}: R compared {seen}")
    with open(os.path.join(work, f"{name}-1", "results.json")) as f:
        j = json.load(f)["dispersion"]
    check(j["P"] is not None and len(j["pairs"]) == len(j["levels"]) * (len(j["levels"]) - 1) // 2,
          f"{name}: the test and its pairs: {j['P']}, {len(j['pairs'])} pairs")
sys.exit(finish([work]))
