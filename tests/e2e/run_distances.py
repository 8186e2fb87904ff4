#!/usr/bin/env python3
"""End-to-end runs of `morvenak run` on dissimilarities:
- one factor on Bray-Curtis of dune: SS and F equal vegan's adonis2 (R, run live) and
  the pseudo-F of scikit-bio's permanova (Debian's python3, run live), to 1e-10;
- nested designs of two and three factors (mite, written by R): each row's SS equals
  the direct computation from the distances the run wrote (the squared distances
  within cells, each sum over its cell's size), and F the design's ratios; so do the
  rows with subgroups as units;
- the Euclidean distances of a Hellinger table given as a matrix give the table of
  --transform hellinger;
- a matrix written by --write-distances and given back by --distances gives the
  same results.tsv, bit for bit;
- principal coordinates of Bray-Curtis (--task both), and nested with --correction lingoes
  and --residual-axes 2: the tables, scores, score file and warnings byte for byte as stored
  in tests/e2e/pcoa_bray/ (recorded with this program, checked against vegan by the R
  package's tests);
- the refusals of a matrix (each naming its cell) and of options that do not go
  together, leaving nothing behind.

usage: run_distances.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails (and when R, vegan or
scikit-bio is missing).
"""
import argparse
import csv
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

from checks import check, finish

R_DATA = r"""
suppressMessages(library(vegan))
out <- commandArgs(TRUE)[1]
data(dune); data(dune.env); data(mite); data(mite.env)
write.csv(dune, file.path(out, "dune.csv"))
write.csv(dune.env, file.path(out, "dune.env.csv"))
write.csv(mite, file.path(out, "mite.csv"))
write.csv(mite.env, file.path(out, "mite.env.csv"))
a <- adonis2(vegdist(dune, "bray") ~ Management, dune.env, permutations = 0)
cat(sprintf("%.17g", c(a$SumOfSqs[1:2], a$F[1])), "\n")
"""

SKBIO = r"""
import sys, numpy, skbio
from skbio.stats.distance import permanova
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
names = rows[0][1:]
d = numpy.array([[float(x) for x in r[1:]] for r in rows[1:]])
groups = [line.rstrip("\n").split("\t")[1] for line in open(sys.argv[2])]
print("%.17g" % permanova(skbio.DistanceMatrix(d, names), groups, permutations=0)["test statistic"])
"""


def morvenak(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet"] + argv, cwd=cwd, capture_output=True, text=True,
                          timeout=600)


def table(path):
    """results.tsv as {source: row dict}."""
    with open(path) as f:
        return {r["source"]: r for r in csv.DictReader(f, delimiter="\t")}


def distances(path):
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    return rows[0][1:], [[float(x) for x in r[1:]] for r in rows[1:]]


def labels(path, columns):
    with open(path) as f:
        rows = list(csv.reader(f))
    at = [rows[0].index(c) for c in columns]
    return {r[0]: [r[k] for k in at] for r in rows[1:]}


def close(a, b, rel=1e-10):
    return abs(a - b) <= rel * max(abs(a), abs(b), 1e-300)


def within_ss(d, cells):
    """The sum over cells of the squared distances between their members, over the cell's size."""
    total = 0.0
    for members in cells.values():
        s = sum(d[i][k] ** 2 for i in members for k in members if i < k)
        total += s / len(members)
    return total


def direct_rows(d, codes):
    """The nested design's SS from the distances: W_a within the cells of levels 1..a,
    D_a = W_(a-1) - W_a, W_0 the total."""
    n = len(d)
    w = [within_ss(d, {(): list(range(n))})]
    for a in range(1, len(codes[0]) + 1):
        cells = {}
        for i, c in enumerate(codes):
            cells.setdefault(tuple(c[:a]), []).append(i)
        w.append(within_ss(d, cells))
    return [w[a - 1] - w[a] for a in range(1, len(w))], w[-1], w[0]


def peers(work):
    """dune on Bray-Curtis: adonis2's and permanova's against ours."""
    r = subprocess.run(["Rscript", "-e", R_DATA, work], capture_output=True, text=True)
    check(r.returncode == 0, f"R with vegan: {r.stderr[-500:]}")
    if r.returncode != 0:
        return False
    ss_main, ss_within, f_vegan = (float(x) for x in r.stdout.split())
    out = morvenak(["--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management", "--distance",
                    "bray", "--write-distances", "--output", "bray"], work)
    check(out.returncode == 0, f"dune bray: {out.stderr}")
    t = table(os.path.join(work, "bray", "results.tsv"))
    check(close(float(t["main"]["SS"]), ss_main) and close(float(t["within"]["SS"]), ss_within) and
          close(float(t["main"]["F"]), f_vegan), f"adonis2: {t['main']} {ss_main} {ss_within} {f_vegan}")
    with open(os.path.join(work, "groups.tsv"), "w") as f:
        for name, (g,) in labels(os.path.join(work, "dune.env.csv"), ["Management"]).items():
            f.write(f"{name}\t{g}\n")
    sk = subprocess.run(["/usr/bin/python3", "-c", SKBIO, os.path.join(work, "bray", "distances.tsv"),
                         os.path.join(work, "groups.tsv")], capture_output=True, text=True)
    check(sk.returncode == 0 and close(float(sk.stdout), float(t["main"]["F"])),
          f"permanova: {sk.stdout} {sk.stderr[-300:]} against {t['main']['F']}")
    # Given back as a matrix: the same table, bit for bit.
    out = morvenak(["--distances", "bray/distances.tsv", "--labels", "dune.env.csv", "--main", "Management",
                    "--output", "given"], work)
    check(out.returncode == 0 and open(os.path.join(work, "given", "results.tsv")).read() ==
          open(os.path.join(work, "bray", "results.tsv")).read(), f"given back: {out.stderr}")
    return True


def nested(work):
    """mite: Topo / Shrub and Topo / Shrub / Substrate on Bray-Curtis, against the direct sums."""
    for columns, extra in ((["Topo", "Shrub"], []), (["Topo", "Shrub", "Substrate"], []),
                           (["Topo", "Shrub"], ["--main-units", "subgroups"])):
        name = "-".join(columns) + ("-units" if extra else "")
        argv = ["--species", "mite.csv", "--labels", "mite.env.csv", "--main", columns[0], "--distance", "bray",
                "--write-distances", "--permutations", "99", "--output", name] + extra
        for c in columns[1:]:
            argv += ["--nested", c]
        out = morvenak(argv, work)
        check(out.returncode == 0, f"{name}: {out.stderr}")
        if out.returncode != 0:
            continue
        names, d = distances(os.path.join(work, name, "distances.tsv"))
        lab = labels(os.path.join(work, "mite.env.csv"), columns)
        ds, within, total = direct_rows(d, [lab[s] for s in names])
        t = table(os.path.join(work, name, "results.tsv"))
        sources = ["main", "nested1", "nested2"][:len(columns)]
        for k, s in enumerate(sources):
            check(close(float(t[s]["SS"]), ds[k], 1e-9), f"{name} {s}: SS {t[s]['SS']} direct {ds[k]}")
        check(close(float(t["within"]["SS"]), within, 1e-9) and close(float(t["total"]["SS"]), total, 1e-9),
              f"{name}: within {t['within']['SS']} {within}, total {t['total']['SS']} {total}")
        # Each factor over the factor nested in it, the lowest over the within row.
        for k, s in enumerate(sources):
            den = ds[k + 1] if k + 1 < len(sources) else within
            df_den = int(t[sources[k + 1]]["df1"]) if k + 1 < len(sources) else int(t["within"]["df1"])
            f = (ds[k] / int(t[s]["df1"])) / (den / df_den)
            check(close(float(t[s]["F"]), f, 1e-9), f"{name} {s}: F {t[s]['F']} direct {f}")
        check(0 < float(t["main"]["P"]) <= 1, f"{name}: P {t['main']['P']}")


def euclidean(work):
    """Euclidean distances of the Hellinger table, given as a matrix: the classic table's SS and F."""
    with open(os.path.join(work, "dune.csv")) as f:
        rows = list(csv.reader(f))
    names = [r[0] for r in rows[1:]]
    y = [[float(x) for x in r[1:]] for r in rows[1:]]
    h = [[math.sqrt(x / sum(r)) for x in r] for r in y]
    with open(os.path.join(work, "hel.tsv"), "w") as f:
        f.write("\t".join(["sample"] + names) + "\n")
        for i, a in enumerate(h):
            f.write("\t".join([names[i]] + ["%.17g" % math.sqrt(sum((u - v) ** 2 for u, v in zip(a, b)))
                                            for b in h]) + "\n")
    common = ["--labels", "dune.env.csv", "--main", "Management", "--nested", "Use", "--task", "anova"]
    a = morvenak(["--species", "dune.csv", "--transform", "hellinger", "--output", "hel-table"] + common, work)
    b = morvenak(["--distances", "hel.tsv", "--output", "hel-matrix"] + common, work)
    check(a.returncode == 0 and b.returncode == 0, f"hellinger: {a.stderr} {b.stderr}")
    ta, tb = table(os.path.join(work, "hel-table", "results.tsv")), table(os.path.join(work, "hel-matrix",
                                                                                         "results.tsv"))
    for s in ("main", "nested1", "within", "total"):
        check(close(float(ta[s]["SS"]), float(tb[s]["SS"]), 1e-9), f"hellinger {s}: {ta[s]['SS']} {tb[s]['SS']}")
    for s in ("main", "nested1"):
        check(close(float(ta[s]["F"]), float(tb[s]["F"]), 1e-9), f"hellinger {s} F: {ta[s]['F']} {tb[s]['F']}")
    # Every arrangement of the subgroups: the same P from the block sums between subgroups.
    units = ["--main-units", "subgroups", "--exact"]
    a = morvenak(["--species", "dune.csv", "--transform", "hellinger", "--output", "hel-units"] + common + units,
                 work)
    b = morvenak(["--distances", "hel.tsv", "--output", "hel-units-matrix"] + common + units, work)
    pa = table(os.path.join(work, "hel-units", "results.tsv"))["main"]["P"] if a.returncode == 0 else None
    pb = table(os.path.join(work, "hel-units-matrix", "results.tsv"))["main"]["P"] if b.returncode == 0 else None
    check(pa is not None and pa == pb, f"hellinger, subgroups as units: P {pa} and {pb}")


def stored(work):
    """The command's table of the R package's stored Bray-Curtis case, which the engine's
    API writes and the R package reproduces: the same bytes."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    dune = os.path.join(root, "tests", "tools", "data", "dune")
    r = morvenak(["--species", os.path.join(dune, "dune.csv"), "--labels", os.path.join(dune, "dune.env.csv"),
                  "--main", "Management", "--nested", "Use", "--distance", "bray", "--permutations", "99",
                  "--output", "stored"], work)
    with open(os.path.join(root, "r", "tests", "testthat", "results", "dune_nested_bray.tsv")) as f:
        wanted = f.read()
    got = open(os.path.join(work, "stored", "results.tsv")).read() if r.returncode == 0 else r.stderr
    check(got == wanted, f"the R package's stored case: {got!r}")


def masked(text):
    """A report or score file with its computation times and the program's version masked."""
    return "\n".join("Computation time" if "Computation time" in line else
                     "version" if line.startswith(" Morvenak, version") else line for line in text.split("\n"))


def principal_coordinates(work, record=False):
    """dune on Bray-Curtis with --task both, Management alone (its residuals' negative eigenvalues warned
    of); then Use nested in it, corrected by Lingoes with two residual axes: every output byte for byte as
    stored."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    dune = os.path.join(root, "tests", "tools", "data", "dune")
    stored_at = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pcoa_bray")
    os.makedirs(os.path.join(work, "pcoa"))
    for name in ("dune.csv", "dune.env.csv"):
        shutil.copy(os.path.join(dune, name), os.path.join(work, "pcoa", name))
    work = os.path.join(work, "pcoa")  # the report names the tables as given
    common = ["--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management", "--distance", "bray", "--task", "both", "--permutations", "99"]
    runs = {"both": ([], ["results.tsv", "FittedSc.out"] + [f"ordination-{k}-{w}.tsv" for k in (1, 2)
                                                              for w in ("objects", "species")]),
            "lingoes": (["--nested", "Use", "--correction", "lingoes", "--residual-axes", "2"],
                        ["results.tsv", "Morvenak.out", "ordination-3-objects.tsv"])}
    for name, (extra, files) in runs.items():
        out = morvenak(common + extra + ["--output", "pcoa-" + name], work)
        check(out.returncode == 0, f"pcoa {name}: {out.stderr}")
        if out.returncode != 0:
            continue
        outputs = {f: masked(open(os.path.join(work, "pcoa-" + name, f)).read()) for f in files}
        outputs["stderr.txt"] = out.stderr
        for f, text in outputs.items():
            # The species' scores are stored as the taxa's.
            path = os.path.join(stored_at, name, f.replace("-species.tsv", "-taxa.tsv"))
            if record:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as w:
                    w.write(text)
            with open(path) as g:
                check(g.read() == text, f"pcoa {name}: {f} differs from {path}")
        if not extra:
            # The matrix written, given back: the same object scores, and no species.
            out = morvenak(common + ["--write-distances", "--output", "pcoa-written"], work)
            given = morvenak(["--distances", "pcoa-written/distances.tsv", "--labels", "dune.env.csv", "--main",
                              "Management", "--task", "both", "--permutations", "99", "--output", "pcoa-given"], work)
            for f in ("ordination-1-objects.tsv", "ordination-2-objects.tsv", "ordination-2-species.tsv"):
                got = open(os.path.join(work, "pcoa-given", f)).read() if given.returncode == 0 else given.stderr
                check(got == (outputs[f] if "objects" in f else "species\t" + "\t".join(
                    f"axis{k + 1}" for k in range(11)) + "\n"), f"pcoa given back: {f}: {got[:200]!r}")
        j = json.load(open(os.path.join(work, "pcoa-" + name, "results.json")))
        residuals = j["ordinations"][-1]
        check(residuals["principal_coordinates"] and len(residuals["eigenvalues"]) == (2 if extra else 11) and
              (j["lingoes_constant"] is None) == (not extra) and
              (residuals["negative_share"] > 0.05) == (not extra),
              f"pcoa {name}: results.json {residuals} {j['lingoes_constant']}")


def refusals(work):
    """Matrices and options refused with status 2, naming the cell or the option; nothing left behind."""
    good = ["s,a,b,c", "a,0,0.5,0.25", "b,0.5,0,0.75", "c,0.25,0.75,0"]
    with open(os.path.join(work, "abc.env.csv"), "w") as f:
        f.write("sample,G\na,x\nb,x\nc,y\n")
    cases = {
        "not square": (["s,a,b", "a,0,0.5", "b,0.5,0", "c,0.25,0.75"],
                       "m.csv: a matrix of dissimilarities is square: 3 samples in its rows, 2 in its header"),
        "columns": (["s,a,c,b"] + good[1:],
                    "m.csv, line 1, column 3: the column names 'c' where row 2 is 'b': the columns name the "
                    "samples in the rows' order"),
        "asymmetric": (good[:2] + ["b,0.5000001,0,0.75"] + good[3:],
                       "m.csv, line 3, column 2: 0.5000001 below the diagonal, 0.5 above it (m.csv, line 2, "
                       "column 3): a matrix of dissimilarities is symmetric"),
        "diagonal": (good[:2] + ["b,0.5,0.1,0.75"] + good[3:],
                     "m.csv, line 3, column 3: the dissimilarity of b with itself is 0.1, not 0"),
        "negative": (good[:3] + ["c,-0.25,0.75,0"],
                     "m.csv, line 4, column 2: a dissimilarity is 0 or more, not -0.25"),
    }
    before = sorted(os.listdir(work))
    for what, (lines, message) in cases.items():
        with open(os.path.join(work, "m.csv"), "w") as f:
            f.write("\n".join(lines) + "\n")
        r = morvenak(["--distances", "m.csv", "--labels", "abc.env.csv", "--main", "G", "--output", "o"], work)
        check(r.returncode == 2 and r.stderr == f"morvenak run: {message}\n", f"{what}: {r.returncode} {r.stderr!r}")
    os.remove(os.path.join(work, "m.csv"))
    options = {
        "correction": (["--species", "dune.csv", "--correction", "lingoes"],
                       "--correction lingoes corrects a dissimilarity that is not Euclidean: give --distance "
                       "bray, jaccard, kulczynski, manhattan, canberra, gower or altgower, or --distances"),
        "binary": (["--species", "dune.csv", "--binary"],
                   "--binary goes with a dissimilarity: give --distance bray, jaccard, kulczynski, manhattan, "
                   "canberra, gower or altgower, or --distances"),
        "both tables": (["--species", "dune.csv", "--distances", "dune.csv"],
                        "--species and --distances both give the data: give one"),
        "transform": (["--species", "dune.csv", "--distance", "hellinger", "--transform", "chord"],
                      "--distance hellinger is the Euclidean distance of the hellinger transformation: give no "
                      "--transform with it"),
    }
    for what, (argv, message) in options.items():
        r = morvenak(argv + ["--labels", "dune.env.csv", "--main", "Management", "--output", "o"], work)
        check(r.returncode == 2 and r.stderr == f"morvenak run: {message}\n", f"{what}: {r.returncode} {r.stderr!r}")
    # Values the dissimilarity cannot take stop the analysis (status 1), naming the samples.
    with open(os.path.join(work, "e.csv"), "w") as f:
        f.write("s,sp1,sp2\na,1,2\nb,0,0\nc,0,0\n")
    r = morvenak(["--species", "e.csv", "--labels", "abc.env.csv", "--main", "G", "--distance", "bray", "--output",
                  "o"], work)
    check(r.returncode == 1 and r.stderr == "morvenak run: the analysis cannot be done: the Bray-Curtis "
          "dissimilarity of samples b and c is 0/0: neither holds any species; leave out empty samples (nothing "
          "was written; the output folder was left as it was)\n", f"empty samples: {r.returncode} {r.stderr!r}")
    os.remove(os.path.join(work, "e.csv"))
    check(sorted(os.listdir(work)) == before, f"refusals left {sorted(set(os.listdir(work)) - set(before))}")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--morvenak", required=True)
    ap.add_argument("--record", action="store_true", help="write the principal coordinates' stored outputs")
    args = ap.parse_args()
    args.morvenak = os.path.abspath(args.morvenak)
    work = tempfile.mkdtemp(prefix="run_distances_")
    if peers(work):
        nested(work)
        euclidean(work)
        stored(work)
        principal_coordinates(work, args.record)
        refusals(work)
    status = finish([work])
    if status == 0:
        print("run on dissimilarities: ok")
    sys.exit(status)
