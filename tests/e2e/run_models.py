#!/usr/bin/env python3
"""End-to-end runs of `morvenak run --model` on vegan's mite data (written by R, run
live), against vegan:
- Hellinger, Euclidean: the eigenvalues of Substrate's added fit and of the residuals equal
  those of rda(y ~ Substrate + Condition(Topo)) and rda(y ~ Topo * Substrate);
  the sequential SS, df and F of Topo * Substrate equal
  adonis2(by = "terms"), the marginal ones of Topo + Substrate adonis2(by = "margin"),
  WatrCont + Topo (a covariate) adonis2(by = "terms"), and the SS of Topo after
  Condition(WatrCont) rda's constrained inertia times n - 1; to 1e-10 relative;
- Bray-Curtis: Topo * Substrate equals adonis2 on Bray-Curtis;
- results.tsv is the same bit for bit on one thread and on two, and permutations within
  the levels of a column (--strata) are recorded and change only the P values;
- with strata small enough, every arrangement within them: the first term's P is the
  share of the arrangements, counted here one by one, whose F is at least the observed;
- a covariate's value that is no number is refused, naming its cell, leaving nothing.

usage: run_models.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails (and when R or vegan is missing).
"""
import argparse
import csv
import itertools
import json
import os
import random
import subprocess
import sys
import tempfile

from checks import check, finish

R_PEER = r"""
suppressMessages(library(vegan))
out <- commandArgs(TRUE)[1]
data(mite); data(mite.env)
write.csv(mite, file.path(out, "mite.csv"))
write.csv(mite.env, file.path(out, "mite.env.csv"))
y <- decostand(mite, "hellinger")
show <- function(name, a) {
  k <- seq_len(nrow(a) - 2)
  cat(name, paste(rownames(a)[k], collapse = ","), sprintf("%d", a$Df[k]), sprintf("%.17g", a$SumOfSqs[k]),
      sprintf("%.17g", a$F[k]), "\n")
}
show("sequential", adonis2(y ~ Topo * Substrate, mite.env, method = "euclidean", by = "terms", permutations = 9))
show("marginal", adonis2(y ~ Topo + Substrate, mite.env, method = "euclidean", by = "margin", permutations = 9))
show("covariate", adonis2(y ~ WatrCont + Topo, mite.env, method = "euclidean", by = "terms", permutations = 9))
show("bray", adonis2(mite ~ Topo * Substrate, mite.env, method = "bray", by = "terms", permutations = 9))
r <- rda(y ~ Topo + Condition(WatrCont), mite.env)
cat("condition Topo 1", sprintf("%.17g", r$CCA$tot.chi * (nrow(y) - 1)), "0\n")
cat("eigen", sprintf("%.17g", rda(y ~ Substrate + Condition(Topo), mite.env)$CCA$eig), "\n")
cat("residual", sprintf("%.17g", rda(y ~ Topo * Substrate, mite.env)$CA$eig), "\n")
"""


def morvenak(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet", "--species", "mite.csv", "--labels", "mite.env.csv"] + argv,
                          cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL)


def table(path):
    with open(path, newline="") as f:
        return {r["term"]: r for r in csv.DictReader(f, delimiter="\t")}


def close(a, b):
    return abs(a - b) <= 1e-10 * max(abs(a), abs(b))


def peer(work):
    r = subprocess.run(["Rscript", "-", work], input=R_PEER, capture_output=True, text=True)
    check(r.returncode == 0, f"R with vegan is needed: {r.stderr.strip()[-300:]}")
    if r.returncode != 0:
        return {}
    cases = {}
    for line in r.stdout.splitlines():
        if line.startswith(("eigen", "residual")):
            name, *values = line.split()
            cases[name] = [float(v) for v in values]
            continue
        name, terms, *rest = line.split()
        terms = terms.split(",")
        k = len(terms)
        cases[name] = {t: (int(rest[j]), float(rest[k + j]), float(rest[2 * k + j])) for j, t in enumerate(terms)}
    return cases


def against_vegan(work, cases):
    runs = {
        "sequential": ["--model", "Topo * Substrate", "--transform", "hellinger"],
        "marginal": ["--model", "Topo + Substrate", "--ss", "marginal", "--transform", "hellinger"],
        "covariate": ["--model", "WatrCont + Topo", "--covariate", "WatrCont", "--transform", "hellinger"],
        "bray": ["--model", "Topo * Substrate", "--distance", "bray"],
        "condition": ["--model", "Topo + Condition(WatrCont)", "--covariate", "WatrCont", "--transform",
                      "hellinger"],
    }
    for name, argv in runs.items():
        r = morvenak(argv + ["--permutations", "99", "--output", name], work)
        check(r.returncode == 0, f"{name}: status {r.returncode}: {r.stderr}")
        if r.returncode != 0 or name not in cases:
            continue
        rows = table(os.path.join(work, name, "results.tsv"))
        if name == "sequential":
            # The ordinations of Substrate's added fit and of the residuals: partial and
            # unconstrained RDA's eigenvalues.
            result = json.load(open(os.path.join(work, name, "results.json")))
            by_term = {o.get("term", "residuals"): o["eigenvalues"] for o in result["ordinations"]}
            for ours, theirs in ((by_term.get("Substrate"), cases["eigen"]), (by_term.get("residuals"), cases["residual"])):
                check(ours is not None and len(ours) == len(theirs) and all(close(a, b) for a, b in zip(ours, theirs)),
                      f"eigenvalues {ours} against rda's {theirs}")
        for term, (df, ss, f) in cases[name].items():
            row = rows.get(term)
            check(row is not None, f"{name}: no row {term}: {sorted(rows)}")
            if row is None:
                continue
            check(int(row["df1"]) == df and close(float(row["SS"]), ss), f"{name} {term}: {row} against {df} {ss}")
            if name != "condition":
                check(close(float(row["F"]), f), f"{name} {term}: F {row['F']} against {f}")


def threads_and_strata(work):
    argv = ["--model", "Topo * Substrate", "--transform", "hellinger", "--permutations", "499"]
    for k in ("1", "2"):
        morvenak(argv + ["--threads", k, "--output", "t" + k], work)
    one, two = (open(os.path.join(work, "t" + k, "results.tsv")).read() for k in "12")
    check(one == two, "one thread and two give different tables")
    r = morvenak(argv + ["--strata", "Shrub", "--output", "strata"], work)
    check(r.returncode == 0, f"--strata: {r.stderr}")
    if r.returncode != 0:
        return
    free, within = table(os.path.join(work, "t1", "results.tsv")), table(os.path.join(work, "strata", "results.tsv"))
    for term in free:
        check({k: v for k, v in free[term].items() if k != "P"} == {k: v for k, v in within[term].items() if k != "P"},
              f"--strata changed more than P in {term}")
    check(any(free[t]["P"] != within[t]["P"] for t in free), "--strata did not change any P")
    result = json.load(open(os.path.join(work, "strata", "results.json")))
    check(result["model"] == {"text": "Topo * Substrate", "ss": "sequential", "strata": "Shrub"},
          f"results.json's model: {result['model']}")


def refused_covariate(work):
    lines = open(os.path.join(work, "mite.env.csv")).read().splitlines()
    header = lines[0].split(",")
    at = header.index('"WatrCont"')
    row = lines[5].split(",")
    row[at] = "dry"
    lines[5] = ",".join(row)
    with open(os.path.join(work, "bad.env.csv"), "w") as f:
        f.write("\n".join(lines) + "\n")
    r = subprocess.run([args.morvenak, "run", "--quiet", "--species", "mite.csv", "--labels", "bad.env.csv", "--model",
                        "WatrCont + Topo", "--covariate", "WatrCont", "--output", "bad"], cwd=work,
                       capture_output=True, text=True)
    check(r.returncode == 2 and r.stderr == f"morvenak run: bad.env.csv, line 6, column {at + 1} (WatrCont): the "
          "covariate's value of sample 5 is 'dry', not a number\n", f"a covariate that is no number: {r.returncode} "
          f"{r.stderr!r}")
    check(not os.path.exists(os.path.join(work, "bad")), "a refused run left its folder")


def enumerated(work):
    """12 samples in 3 blocks of 4, A x B within each: (4!)^3 = 13,824 arrangements."""
    rng = random.Random(4)
    y, a, b, block = [], [], [], []
    with open(os.path.join(work, "tiny.csv"), "w") as f, open(os.path.join(work, "tiny.env.csv"), "w") as g:
        f.write("sample,x,y,z\n")
        g.write("sample,A,B,block\n")
        for i in range(12):
            a.append(i % 2)
            b.append((i // 2) % 2)
            block.append(i // 4)
            y.append([rng.random() + a[-1], rng.random(), rng.random() + 0.5 * b[-1]])
            f.write(f"s{i}," + ",".join(repr(v) for v in y[-1]) + "\n")
            g.write(f"s{i},a{a[-1]},b{b[-1]},k{block[-1]}\n")
    r = subprocess.run([args.morvenak, "run", "--quiet", "--species", "tiny.csv", "--labels", "tiny.env.csv", "--model",
                        "A * B", "--strata", "block", "--permutations", "20000", "--output", "tiny"], cwd=work,
                       capture_output=True, text=True)
    check(r.returncode == 0 and "the smallest P they can give is 1/13824" in r.stderr, f"enumeration: {r.stderr}")
    if r.returncode != 0:
        return
    row = table(os.path.join(work, "tiny", "results.tsv"))["A"]

    def fit(rows, groups):
        sums = {}
        for r_, g_ in zip(rows, groups):
            sums.setdefault(g_, [[0.0] * 3, 0])
            sums[g_][1] += 1
            for j in range(3):
                sums[g_][0][j] += r_[j]
        return sum(sum(v * v for v in s) / k for s, k in sums.values())

    def f_of(rows):
        mean = fit(rows, [0] * 12)
        cells = fit(rows, list(zip(a, b)))
        total = sum(v * v for r_ in rows for v in r_) - mean
        return (fit(rows, a) - mean) / ((total - (cells - mean)) / 8)

    observed = f_of(y)
    members = [[i for i in range(12) if block[i] == k] for k in range(3)]
    count = 0
    for p0 in itertools.permutations(members[0]):
        for p1 in itertools.permutations(members[1]):
            for p2 in itertools.permutations(members[2]):
                perm = [0] * 12
                for at, to in zip(members[0] + members[1] + members[2], p0 + p1 + p2):
                    perm[at] = to
                count += f_of([y[perm[i]] for i in range(12)]) >= observed * (1 - 1e-9)
    check(int(row["permutations"]) == 13823 and abs(float(row["P"]) - count / 13824) < 1e-15,
          f"enumeration: P {row['P']} against {count} / 13824")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
work = tempfile.mkdtemp(prefix="run_models_")
cases = peer(work)
if cases:
    against_vegan(work, cases)
    threads_and_strata(work)
    refused_covariate(work)
enumerated(work)
sys.exit(finish([work]))
