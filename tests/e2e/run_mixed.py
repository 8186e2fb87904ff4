#!/usr/bin/env python3
"""End-to-end runs of `morvenak run --model ... --random` on balanced mixed designs:
- one response, B random within A fixed: F of A equals base R's aov(y ~ A + Error(B))
  to 1e-10; A fixed crossed with B random: F of A equals aov(y ~ A + Error(B/A)), and
  B's and A:B's F and the components equal the ratios and differences of mean squares
  that the classical rules give (restricted, and with --unrestricted);
- vegan's pyrifos, dose * week + dose/ditch with ditch random: dose over ditch within
  dose (whole ditches permuted), week within the ditches; one thread and two alike,
  and the table and warnings as stored in tests/e2e/mixed_pyrifos/;
- an unbalanced design with --restricted is refused with status 1, leaving nothing.

usage: run_mixed.py --morvenak BUILD/morvenak [--record]
Exit status 0 when every check passes, 1 when one fails (and when R or vegan is missing).
"""
import argparse
import csv
import os
import random
import subprocess
import sys
import tempfile

from checks import check, finish

R_AOV = r"""
d <- read.csv(commandArgs(TRUE)[1], colClasses = c("character", "factor", "factor", "numeric"))
f_of <- function(fit, stratum) {
  s <- summary(fit)[[stratum]][[1]]
  cat(sprintf("%.17g", s[["F value"]][1]), "\n")
}
if (commandArgs(TRUE)[2] == "nested") f_of(aov(y ~ A + Error(B), d), "Error: B") else
  f_of(aov(y ~ A + Error(B/A), d), "Error: B:A")
"""

R_PYRIFOS = r"""
suppressMessages(library(vegan))
data(pyrifos)
week <- gl(11, 12, labels = c(-4, -1, 0.1, 1, 2, 4, 8, 12, 15, 19, 24))
dose <- factor(rep(c(0.1, 0, 0, 0.9, 0, 44, 6, 0.1, 44, 0.9, 0, 6), 11))
ditch <- gl(12, 1, length = 132)
rn <- paste0("s", seq_len(nrow(pyrifos)))
write.csv(data.frame(sample = rn, pyrifos, check.names = FALSE), "pyrifos.csv", row.names = FALSE, quote = FALSE)
write.csv(data.frame(sample = rn, dose, week, ditch), "pyrifos.env.csv", row.names = FALSE, quote = FALSE)
"""


def run(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet"] + argv, cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def table(path):
    with open(path, newline="") as f:
        return {r["term"]: r for r in csv.DictReader(f, delimiter="\t")}


def close(a, b):
    return abs(a - b) <= 1e-10 * max(abs(a), abs(b))


def write(work, name, rows):
    with open(os.path.join(work, name + ".csv"), "w") as f:
        f.write("sample,y\n" + "".join(f"s{i},{y!r}\n" for i, (_, _, y) in enumerate(rows)))
    with open(os.path.join(work, name + ".env.csv"), "w") as f:
        f.write("sample,A,B\n" + "".join(f"s{i},{a},{b}\n" for i, (a, b, _) in enumerate(rows)))
    with open(os.path.join(work, name + ".aov.csv"), "w") as f:
        f.write("sample,A,B,y\n" + "".join(f"s{i},{a},{b},{y!r}\n" for i, (a, b, y) in enumerate(rows)))


def aov_f(work, name, kind):
    r = subprocess.run(["Rscript", "-", os.path.join(work, name + ".aov.csv"), kind], input=R_AOV, capture_output=True,
                       text=True, cwd=work)
    check(r.returncode == 0, f"R's aov: {r.stderr.strip()[-300:]}")
    return float(r.stdout.split()[0]) if r.returncode == 0 else float("nan")


def one_response(work):
    rng = random.Random(31)
    # B random within A fixed: 3 levels of A, 4 of B in each (named apart), 3 samples in each B.
    effect = {(a, b): rng.gauss(0, 0.8) for a in range(3) for b in range(4)}
    rows = [(f"a{a}", f"b{a}{b}", rng.gauss(0.7 * a + effect[a, b], 1)) for a in range(3) for b in range(4)
            for _ in range(3)]
    write(work, "nested", rows)
    r = run(["--species", "nested.csv", "--labels", "nested.env.csv", "--model", "A / B", "--random", "B",
             "--permutations", "99", "--output", "nested"], work)
    check(r.returncode == 0, f"B random within A: {r.stderr}")
    if r.returncode == 0:
        t = table(os.path.join(work, "nested", "results.tsv"))
        ms_a, ms_b, ms_w = (float(t[k]["MS"]) for k in ("A", "A:B", "Residual"))
        check(close(float(t["A"]["F"]), aov_f(work, "nested", "nested")), f"F of A over B: {t['A']['F']}")
        check(t["A"]["denominator"] == "MS(B within A)" and t["A"]["units"] == "whole levels of B within A",
              f"A's denominator and units: {t['A']['denominator']}, {t['A']['units']}")
        check(t["A:B"]["EMS"] == "sigma2 + 3 sigma2(B within A)" and t["A"]["EMS"] ==
              "sigma2 + 3 sigma2(B within A) + 12 theta(A)", f"EMS: {t['A']['EMS']}; {t['A:B']['EMS']}")
        check(close(float(t["A:B"]["component"]), (ms_b - ms_w) / 3) and
              close(float(t["A"]["component"]), (ms_a - ms_b) / 12), "components of B within A and of A")
    # A fixed crossed with B random: 3 x 4 cells of 2 samples.
    rows = [(f"a{a}", f"b{b}", rng.gauss(0.5 * a + 0.3 * ((a * b) % 3), 1)) for a in range(3) for b in range(4)
            for _ in range(2)]
    write(work, "crossed", rows)
    for convention in ("restricted", "unrestricted"):
        extra = ["--unrestricted"] if convention == "unrestricted" else []
        r = run(["--species", "crossed.csv", "--labels", "crossed.env.csv", "--model", "A * B", "--random", "B",
                 "--permutations", "99", "--output", convention] + extra, work)
        check(r.returncode == 0, f"A x B, B random ({convention}): {r.stderr}")
        if r.returncode != 0:
            continue
        t = table(os.path.join(work, convention, "results.tsv"))
        ms = {k: float(t[k]["MS"]) for k in ("A", "B", "A:B", "Residual")}
        check(close(float(t["A"]["F"]), aov_f(work, "crossed", "crossed")), f"F of A over A:B: {t['A']['F']}")
        b_over = "A:B" if convention == "unrestricted" else "Residual"
        check(close(float(t["B"]["F"]), ms["B"] / ms[b_over]) and close(float(t["A:B"]["F"]), ms["A:B"] /
              ms["Residual"]), f"F of B and A:B ({convention})")
        check(close(float(t["A:B"]["component"]), (ms["A:B"] - ms["Residual"]) / 2) and
              close(float(t["B"]["component"]), (ms["B"] - ms[b_over]) / 6), f"components ({convention})")
        check(t["B"]["units"] == ("whole levels of A:B" if convention == "unrestricted" else "objects"),
              f"B's units ({convention}): {t['B']['units']}")
    # One sample less: not balanced, so unrestricted; insisting on the restricted stops.
    write(work, "short", rows[:-1])
    r = run(["--species", "short.csv", "--labels", "short.env.csv", "--model", "A * B", "--random", "B",
             "--output", "short", "--restricted"], work)
    check(r.returncode == 1 and "not balanced" in r.stderr and "restricted convention" in r.stderr,
          f"an unbalanced design, restricted: {r.returncode} {r.stderr!r}")
    check(not os.path.exists(os.path.join(work, "short")), "a refused run left its folder")


def pyrifos(work):
    r = subprocess.run(["Rscript", "-"], input=R_PYRIFOS, capture_output=True, text=True, cwd=work)
    check(r.returncode == 0, f"R with vegan is needed: {r.stderr.strip()[-300:]}")
    if r.returncode != 0:
        return
    argv = ["--species", "pyrifos.csv", "--labels", "pyrifos.env.csv", "--model", "dose * week + dose/ditch",
            "--random", "ditch", "--permutations", "199"]
    for k in ("1", "2"):
        r = run(argv + ["--threads", k, "--output", "p" + k], work)
        check(r.returncode == 0, f"pyrifos: {r.stderr}")
    one, two = (open(os.path.join(work, "p" + k, "results.tsv")).read() for k in "12")
    check(one == two, "one thread and two give different tables")
    # The table and the warnings byte for byte as recorded by this program (with --record).
    stored = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mixed_pyrifos")
    for name, text in (("results.tsv", one), ("stderr.txt", r.stderr)):
        path = os.path.join(stored, name)
        if args.record:
            os.makedirs(stored, exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        with open(path) as f:
            check(f.read() == text, f"pyrifos: {name} differs from {path}")
    t = table(os.path.join(work, "p1", "results.tsv"))
    check(close(float(t["dose"]["F"]), float(t["dose"]["MS"]) / float(t["dose:ditch"]["MS"])) and
          t["dose"]["df2"] == "7", f"dose over ditch within dose: {t['dose']}")
    check(t["dose"]["EMS"].startswith("sigma2 + 11 sigma2(ditch within dose) + ") and
          t["dose:ditch"]["EMS"] == "sigma2 + 11 sigma2(ditch within dose)", "pyrifos' EMS")
    check(t["week"]["units"] == "objects within the levels of ditch within dose" and
          t["week"]["denominator"] == "MS(Residual)", f"week's test: {t['week']}")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
parser.add_argument("--record", action="store_true", help="write pyrifos' stored table and warnings")
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
work = tempfile.mkdtemp(prefix="run_mixed_")
one_response(work)
pyrifos(work)
sys.exit(finish([work]))
