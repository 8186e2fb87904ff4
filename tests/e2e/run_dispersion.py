#!/usr/bin/env python3
"""`morvenak run --dispersion` against vegan: on dune's Management and on mite's Shrub
(vegan's own data, written by R), Euclidean on the table as given and as Hellinger
transformed, and Bray-Curtis; each sample's distance to its level's centroid and the
F of their anova equal betadisper(type = "centroid", bias.adjust = FALSE) and anova()
of it to 1e-10 relative (with --bias-adjust, bias.adjust = TRUE); each pair's Welch t
and df equal t.test's, and its adjusted P p.adjust's of the raw P (holm and fdr). The
permutations come from the run's seed alone: one thread and two, the same files.
With --dispersion-centre median, the distances to the spatial medians agree with
betadisper(type = "median") to 1e-3 of the largest (its optimiser stops early) and with
Weiszfeld's iteration run to convergence here, in R, to 1e-9. A nested factor (mite's
Shrub within Topo): the distances to the subgroups' centroids and the F of the
subgroups within Topo equal betadisper's and anova(lm(z ~ Topo / Shrub))'s; the main
factor's test of its subgroups' centroids (Topo over Shrub) equals the distances and
F computed here from the table's centroids.

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


# Arguments: the species table, the labels, the factor, its nested factor ("-": none),
# the dissimilarity, the transformation, what is compared (median, nested or units), the
# results.json of the run; prints the largest differences, relative.
R_MORE = r"""
suppressMessages(library(vegan))
a <- commandArgs(TRUE)
y <- read.csv(a[1], row.names = 1, check.names = FALSE)
env <- read.csv(a[2], row.names = 1)
g <- factor(env[[a[3]]])
if (a[6] == "hellinger") y <- decostand(y, "hellinger")
d <- vegdist(y, a[5])
x <- jsonlite::fromJSON(a[8])$dispersion
rel <- function(p, q) max(abs(p - q) / pmax(abs(p), abs(q), 1e-300))
z <- setNames(x$samples$distance, x$samples$sample)
if (a[7] == "median") {
  mod <- betadisper(d, g, type = "median")
  cat("vegan", max(abs(z[names(mod$distances)] - mod$distances)) / max(mod$distances), "\n")
  A <- -as.matrix(d)^2 / 2
  G <- A - outer(rowMeans(A), colMeans(A), "+") + mean(A)
  e <- eigen(G, symmetric = TRUE)
  big <- max(abs(e$values))
  axes <- function(k) e$vectors[, k, drop = FALSE] %*% diag(sqrt(abs(e$values[k])), sum(k))
  P <- axes(e$values > 1e-10 * big); N <- axes(e$values < -1e-10 * big)
  weiszfeld <- function(X) {
    if (ncol(X) == 0) return(numeric(0))
    m <- colMeans(X)
    for (k in 1:100000) {
      r <- sqrt(rowSums(sweep(X, 2, m)^2))
      stopifnot(all(r > 0))
      step <- colSums(X / r) / sum(1 / r)
      done <- sqrt(sum((step - m)^2)) <= 1e-15 * mean(r)
      m <- step
      if (done) break
    }
    m
  }
  w <- numeric(length(g))
  for (l in levels(g)) {
    i <- g == l
    sq <- function(X) rowSums(sweep(X[i, , drop = FALSE], 2, weiszfeld(X[i, , drop = FALSE]))^2)
    w[i] <- sqrt(pmax(sq(P) - (if (ncol(N)) sq(N) else 0), 0))
  }
  cat("weiszfeld", rel(z, w), "\n")
  cat("F", rel(x$F, anova(lm(w ~ g))[["F value"]][1]), "\n")
} else if (a[7] == "nested") {
  h <- factor(env[[a[4]]])
  mod <- betadisper(d, interaction(g, h, drop = TRUE), type = "centroid")
  cat("distances", rel(z[names(mod$distances)], mod$distances), "\n")
  cat("F", rel(x$F, anova(lm(mod$distances ~ g / h))[["F value"]][2]), "\n")
  cat("pairs", nrow(x$pairs), "\n")
} else {
  h <- interaction(g, factor(env[[a[4]]]), sep = ": ", lex.order = TRUE, drop = TRUE)
  Y <- as.matrix(y)
  cu <- apply(Y, 2, function(v) tapply(v, h, mean))
  cg <- apply(Y, 2, function(v) tapply(v, g, mean))
  main <- factor(sub(": .*", "", rownames(cu)), levels = levels(g))
  zu <- sqrt(rowSums((cu - cg[as.character(main), ])^2))
  u <- x$units
  cat("distances", rel(setNames(u$samples$distance, u$samples$sample)[names(zu)], zu), "\n")
  cat("F", rel(u$F, anova(lm(zu ~ main))[["F value"]][1]), "\n")
}
"""

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
more = [
    ("dune", "Management", "-", "bray", "none", "median", ["vegan", "weiszfeld", "F"]),
    ("mite", "Shrub", "-", "euclidean", "hellinger", "median", ["vegan", "weiszfeld", "F"]),
    ("mite", "Topo", "Shrub", "bray", "none", "nested", ["distances", "F", "pairs"]),
    ("mite", "Topo", "Shrub", "euclidean", "hellinger", "units", ["distances", "F"]),
]
for data, factor, nested, distance, transform, what, expect in more if r.returncode == 0 else []:
    name = f"{data}-{factor}-{distance}-{what}"
    argv = ["--species", f"{data}.csv", "--labels", f"{data}.env.csv", "--main", factor, "--permutations", "99",
            "--task", "anova", "--output", name, "--dispersion", nested if what == "nested" else factor]
    argv += ["--nested", nested] if nested != "-" else []
    argv += ["--distance", distance] if distance != "euclidean" else []
    argv += ["--transform", transform] if transform != "none" else []
    argv += ["--dispersion-centre", "median"] if what == "median" else []
    out = run(argv, work)
    check(out.returncode == 0, f"{name}: {out.stderr}")
    if out.returncode != 0:
        continue
    peer = subprocess.run(["Rscript", "-", f"{data}.csv", f"{data}.env.csv", factor, nested, distance, transform,
                           what, os.path.join(name, "results.json")],
                          input=R_MORE, capture_output=True, text=True, cwd=work)
    check(peer.returncode == 0, f"{name}: R: {peer.stderr.strip()[-300:]}")
    seen = []
    for line in peer.stdout.splitlines():
        key, value = line.split()
        seen.append(key)
        # Shrub within Topo: Hummock's two levels give a pair, Blanket's three give three.
        if key == "pairs":
            check(value == "4", f"{name}: {value} pairs of subgroups, not 4")
        else:
            bound = {"vegan": 1e-3, "weiszfeld": 1e-9}.get(key, 1e-10)
            check(float(value) <= bound, f"{name}: {key}: {value} against the bound {bound}")
    check(seen == expect, f"{name}: R compared {seen}")
sys.exit(finish([work]))
