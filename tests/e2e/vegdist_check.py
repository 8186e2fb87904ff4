#!/usr/bin/env python3
"""The dissimilarities and the transformations of single values against R's vegan,
run live: vegan's data sets dune, mite, BCI and varespec (and dune with a species
absent from all and one of a single value, for the conventions of double zeros and
ranges of 0) are written to CSV by R, which then reads them back and computes
vegdist() for every method (binary too for bray and jaccard), sqrt(x),
sqrt(sqrt(x)), decostand(x, "pa") and wisconsin(x); the probe computes the same
from the same files. Every value must agree to 1e-12 relative (1e-15 absolute near
0). Prints the largest relative difference per method.

usage: vegdist_check.py --probe BUILD/morvenak_dissimilarity_probe
Exit status 0 when every value agrees; 1 on any difference, and when R or vegan is
missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

METHODS = ["bray", "jaccard", "kulczynski", "manhattan", "canberra", "gower", "altgower"]
BINARY = ["bray", "jaccard"]
TRANSFORMS = ["sqrt", "fourthroot", "presence", "wisconsin"]
SETS = ["dune", "mite", "BCI", "varespec", "dune_padded"]

R_SCRIPT = r"""
suppressMessages(library(vegan))
out <- commandArgs(TRUE)[1]
data(dune); data(mite); data(BCI); data(varespec)
sets <- list(dune = dune, mite = mite, BCI = BCI, varespec = varespec,
             dune_padded = cbind(dune, Absent = 0, Constant = 3))
put <- function(m, name) write(sprintf("%.17g", t(as.matrix(m))), file.path(out, name), ncolumns = ncol(m))
for (s in names(sets)) {
  csv <- file.path(out, paste0(s, ".csv"))
  write.csv(sets[[s]], csv)
  x <- as.matrix(read.csv(csv, row.names = 1))
  for (m in c("bray", "jaccard", "kulczynski", "manhattan", "canberra", "gower", "altGower"))
    put(as.matrix(vegdist(x, m)), paste0(s, ".", tolower(m), ".txt"))
  for (m in c("bray", "jaccard"))
    put(as.matrix(vegdist(x, m, binary = TRUE)), paste0(s, ".", m, "-binary.txt"))
  put(sqrt(x), paste0(s, ".sqrt.txt"))
  put(sqrt(sqrt(x)), paste0(s, ".fourthroot.txt"))
  put(decostand(x, "pa"), paste0(s, ".presence.txt"))
  put(wisconsin(x), paste0(s, ".wisconsin.txt"))
}
"""


def numbers(text):
    return [[float(v) for v in line.split()] for line in text.strip().split("\n")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vegdist_check.")
    try:
        with open(os.path.join(work, "vegan.R"), "w") as f:
            f.write(R_SCRIPT)
        try:
            r = subprocess.run(["Rscript", os.path.join(work, "vegan.R"), work], capture_output=True, text=True)
        except FileNotFoundError:
            print("FAIL: Rscript not found: the check needs R with vegan")
            return 1
        if r.returncode != 0:
            print("FAIL: R with vegan did not run:\n" + r.stderr)
            return 1

        failures = 0
        largest = {}  # method -> (largest relative difference, values compared)
        for name in SETS:
            csv = os.path.join(work, name + ".csv")
            runs = [(m, [m]) for m in METHODS] + [(m + "-binary", [m, "--binary"]) for m in BINARY]
            runs += [(t, ["--transform", t]) for t in TRANSFORMS]
            for label, argv in runs:
                with open(os.path.join(work, f"{name}.{label}.txt")) as f:
                    want = numbers(f.read())
                got = subprocess.run([args.probe, csv] + argv, capture_output=True, text=True)
                if got.returncode != 0:
                    print(f"FAIL: {name} {label}: the probe stopped: {got.stderr.strip()}")
                    failures += 1
                    continue
                got = numbers(got.stdout)
                if [len(row) for row in got] != [len(row) for row in want]:
                    print(f"FAIL: {name} {label}: {len(got)} rows from the probe, {len(want)} from R")
                    failures += 1
                    continue
                worst, count = largest.get(label, (0.0, 0))
                for i, (grow, wrow) in enumerate(zip(got, want)):
                    for j, (a, b) in enumerate(zip(grow, wrow)):
                        diff = abs(a - b)
                        scale = max(abs(a), abs(b))
                        count += 1
                        if diff != diff or (diff > 1e-12 * scale and diff > 1e-15):
                            print(f"FAIL: {name} {label} [{i + 1}, {j + 1}]: {a!r} here, {b!r} in R")
                            failures += 1
                        elif scale > 0.0:
                            worst = max(worst, diff / scale)
                largest[label] = (worst, count)
        for label, (worst, count) in largest.items():
            print(f"{label:16} largest relative difference {worst:.3g} over {count} values")
        if failures:
            print(f"{failures} difference(s) from R's vegan")
            return 1
        return 0
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
