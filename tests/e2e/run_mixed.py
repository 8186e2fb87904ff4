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
import json
import os
import random
import shutil
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

# The expected mean squares of an unbalanced design from its dense matrices:
# for each term t of the sequence, its SS projector Q_t (the difference of
# two fits' projectors, from qr), c(t, k) = tr(Z_k' Q_t Z_k) / df_t for the
# indicators Z_k of every term k; each row's denominator as the weights of
# the random terms' mean squares (and the residual's) solving the equations
# of its expectation under its null hypothesis; Satterthwaite's df; and the
# components of variation by the method of moments: the random rows' EMS
# equations solved for the variances, each fixed term's theta from its own.
R_DENSE = r"""
a <- commandArgs(TRUE)
y <- as.matrix(read.csv(a[1], row.names = 1, check.names = FALSE))
d <- read.csv(a[2], row.names = 1, colClasses = "character")
d <- data.frame(A = factor(d[[a[4]]]), B = factor(d[[a[5]]]))
n <- nrow(y)
y <- scale(y, scale = FALSE)
if (a[3] == "crossed") {
  fits <- list(A = ~ A, B = ~ A + B, "A:B" = ~ A * B)
  z <- list(A = ~ 0 + A, B = ~ 0 + B, "A:B" = ~ 0 + A:B)
  random <- c("B", "A:B")
} else {
  fits <- list(A = ~ A, "A:B" = ~ A / B)
  z <- list(A = ~ 0 + A, "A:B" = ~ 0 + A:B)
  random <- "A:B"
}
proj <- function(x) { q <- qr(x); u <- qr.Q(q)[, seq_len(q$rank), drop = FALSE]; u %*% t(u) }
before <- matrix(1 / n, n, n)
terms <- names(fits)
co <- matrix(0, length(terms), length(terms), dimnames = list(terms, terms))
ms <- df <- setNames(numeric(length(terms) + 1), c(terms, "Residual"))
for (t in terms) {
  h <- proj(model.matrix(fits[[t]], d)); q <- h - before; before <- h
  df[t] <- round(sum(diag(q)))
  ms[t] <- sum(y * (q %*% y)) / df[t]
  for (k in terms) { zk <- model.matrix(z[[k]], d); co[t, k] <- sum(diag(crossprod(zk, q %*% zk))) / df[t] }
}
df["Residual"] <- n - round(sum(diag(before)))
ms["Residual"] <- sum(y * ((diag(n) - before) %*% y)) / df["Residual"]
cr <- co[random, random, drop = FALSE]  # [row, component]
moments <- rbind(cbind(1, cr), c(1, rep(0, length(random))))
sigma <- setNames(solve(moments, c(ms[random], ms["Residual"])), c("sigma2", random))
for (t in terms) {
  target <- setNames(co[t, random], random)
  if (t %in% random) target[t] <- 0
  w <- solve(t(cr), target)
  w <- c(w, Residual = 1 - sum(w))
  den <- sum(w * ms[names(w)])
  satt <- den^2 / sum((w * ms[names(w)])^2 / df[names(w)])
  comp <- (ms[t] - den) / co[t, t]
  cat(t, "df", df[t], "\n")
  for (k in terms) cat(t, "c", k, sprintf("%.17g", co[t, k]), "\n")
  for (k in names(w)) cat(t, "w", k, sprintf("%.17g", w[k]), "\n")
  cat(t, "satterthwaite", sprintf("%.17g", satt), "\n")
  cat(t, "component", sprintf("%.17g", comp), "\n")
}
cat("Residual component", sprintf("%.17g", sigma["sigma2"]), "\n")
for (k in random) cat(k, "moments", sprintf("%.17g", sigma[k]), "\n")
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


def dense(work, name, kind, a, b):
    """R_DENSE's figures of a design: (term, what, key) -> value."""
    r = subprocess.run(["Rscript", "-", name + ".csv", name + ".env.csv", kind, a, b], input=R_DENSE,
                       capture_output=True, text=True, cwd=work)
    check(r.returncode == 0, f"R's dense computation of {name}: {r.stderr.strip()[-300:]}")
    out = {}
    for line in r.stdout.splitlines():
        f = line.split()
        out[tuple(f[:-1])] = float(f[-1])
    return out


def unbalanced(work):
    """Unbalanced designs' EMS coefficients, denominators, Satterthwaite's df and
    components against the dense computation of R_DENSE: A x B with B random and
    unequal cells, B random within A with levels of 2 to 6 samples, and dune's
    Management / Use with --denominator ems (Management over 1.734 MS(Use within
    Management) - 0.734 MS(Residual), a negative weight: no F)."""
    rng = random.Random(32)
    cells = [(a, b, rng.randint(1, 3)) for a in range(3) for b in range(4)]
    crossed = [(f"a{a}", f"b{b}") for a, b, m in cells for _ in range(m)]
    sizes = [[6, 4, 5], [2, 3, 4], [2, 2]]
    nested = [(f"a{a}", f"b{a}{b}") for a, s in enumerate(sizes) for b, m in enumerate(s) for _ in range(m)]
    for name, design in (("crossed_u", crossed), ("nested_u", nested)):
        effect = {c: rng.gauss(0, 1) for c in set(design)}
        with open(os.path.join(work, name + ".csv"), "w") as f:
            f.write("sample,y1,y2\n" + "".join(f"s{i},{rng.gauss(effect[c], 1)!r},{rng.gauss(-effect[c], 1)!r}\n"
                                              for i, c in enumerate(design)))
        with open(os.path.join(work, name + ".env.csv"), "w") as f:
            f.write("sample,A,B\n" + "".join(f"s{i},{a},{b}\n" for i, (a, b) in enumerate(design)))
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for suffix in ("", ".env"):
        shutil.copy(os.path.join(root, "tests", "tools", "data", "dune", f"dune{suffix}.csv"), work)
    cases = [
        ("crossed_u", "crossed", ("A", "B"), ["--model", "A * B", "--random", "B"],
         {"A": ("A", "A"), "B": ("B", "B"), "A:B": ("A:B", "A:B")}),
        ("nested_u", "nested", ("A", "B"), ["--model", "A / B", "--random", "B"],
         {"A": ("A", "A"), "A:B": ("A:B", "B within A")}),
        ("dune", "nested", ("Management", "Use"), ["--main", "Management", "--nested", "Use", "--denominator", "ems"],
         {"A": ("Management", "Management"), "A:B": ("Management:Use", "Use within Management")}),
    ]
    for name, kind, (a, b), argv, terms in cases:
        r = run(["--species", name + ".csv", "--labels", name + ".env.csv", "--permutations", "199",
                 "--output", name + "_out"] + argv, work)
        check(r.returncode == 0, f"{name}: {r.stderr}")
        if r.returncode != 0:
            continue
        with open(os.path.join(work, name + "_out", "results.json")) as f:
            result = json.load(f)
        rows = {row["term"]: row for row in result["rows"]}
        check(result["model"]["ems"] == "unrestricted" and not result["model"]["balanced"], f"{name}: {result['model']}")
        peer = dense(work, name, kind, a, b)
        near = lambda x, y: abs(x - y) <= 1e-9 * max(1.0, abs(x), abs(y))
        random_terms = [t for t in terms if rows[terms[t][0]]["random"]]
        for t, (label, words) in terms.items():
            row = rows[label]
            ems = row["EMS_coefficients"]
            own = ("sigma2(" if row["random"] else "theta(") + words + ")"
            check(near(ems[own], peer[(t, "c", t)]), f"{name} {label}: own coefficient {ems[own]} {peer[(t, 'c', t)]}")
            for k in random_terms:
                if k == t:
                    continue
                mine = ems.get("sigma2(" + terms[k][1] + ")", 0.0)
                check(near(mine, peer[(t, "c", k)]), f"{name} {label}: c({k}) {mine} {peer[(t, 'c', k)]}")
            weights = row["denominator_weights"]
            for k in random_terms + ["Residual"]:
                mine = weights.get("MS(" + (terms[k][1] if k in terms else k) + ")", 0.0)
                check(near(mine, peer[(t, "w", k)]), f"{name} {label}: weight of {k} {mine} {peer[(t, 'w', k)]}")
            if isinstance(row["df2"], float):
                check(near(row["df2"], peer[(t, "satterthwaite")]), f"{name} {label}: df2 {row['df2']}")
            comp = peer[(t, "moments")] if row["random"] else peer[(t, "component")]
            check(near(row["component"], comp), f"{name} {label}: component {row['component']} {comp}")
        check(near(rows["Residual"]["component"], peer[("Residual", "component")]), f"{name}: the residual's")
        if name == "nested_u":
            check(isinstance(rows["A"]["df2"], float) and rows["A"]["P"] is not None, f"{name}: A's test {rows['A']}")
        if name == "dune":
            check(rows["Management"]["F"] is None and "negative weight" in rows["Management"]["note"],
                  f"dune: Management {rows['Management']}")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
parser.add_argument("--record", action="store_true", help="write pyrifos' stored table and warnings")
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
work = tempfile.mkdtemp(prefix="run_mixed_")
one_response(work)
pyrifos(work)
unbalanced(work)
sys.exit(finish([work]))
