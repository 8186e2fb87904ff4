#!/usr/bin/env python3
"""The site scores of `morvenak run` against vegan: on dune's Management (vegan's own
data, written by R), Hellinger transformed, the site scores (site_K), the fitted scores
(axisK) and the species scores of scaling 1 and of scaling 2 equal vegan's
scores(rda(y ~ Management), display = "wa", "lc", "species", scaling = 1 or 2) times
the constant ratio of docs/user-guide.md, each axis with one sign for all three, to
1e-10 of the axis's largest score. With Use nested in Management, on the table and on
Bray-Curtis, in either scaling, each cell's site scores average to its fitted score
to 1e-12 of the largest site score. The default scaling writes the scores of
--scaling 1, and --scaling 2 leaves FittedSc.out and the report as they were.

usage: run_site_scores.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails (and when R or vegan is missing).
"""
import argparse
import csv
import math
import os
import subprocess
import sys
import tempfile

from checks import check, finish, masked

R_PEER = r"""
suppressMessages(library(vegan))
data(dune); data(dune.env)
w <- function(x, f) write.csv(data.frame(sample = rownames(x), x, check.names = FALSE), f, row.names = FALSE,
                              quote = FALSE)
w(dune, "dune.csv"); w(dune.env, "dune.env.csv")
r <- rda(decostand(dune, "hellinger") ~ Management, dune.env)
for (s in 1:2)
  for (d in c("wa", "lc", "species"))
    write.table(format(scores(r, display = d, scaling = s, choices = 1:3), digits = 17),
                sprintf("vegan-%s-%d.tsv", d, s), sep = "\t", quote = FALSE)
"""


def run(argv, cwd):
    return subprocess.run([args.morvenak, "run", "--quiet", "--species", "dune.csv", "--labels",
                           "dune.env.csv"] + argv, cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


def table(path):
    """The header and the rows of a tab-separated file."""
    with open(path, newline="") as f:
        rows = list(csv.reader(f, delimiter="\t"))
    return rows[0], rows[1:]


def columns(path, names):
    """Each named column as floats, and the first column (the names of the rows)."""
    head, rows = table(path)
    return [r[0] for r in rows], [[float(r[head.index(n)]) for r in rows] for n in names]


def vegan(work, display, scaling):
    head, rows = table(os.path.join(work, f"vegan-{display}-{scaling}.tsv"))
    return [r[0] for r in rows], [[float(r[1 + k]) for r in rows] for k in range(3)]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def against_vegan(work):
    ssy = None
    for scaling in (1, 2):
        out = f"one-{scaling}"
        r = run(["--main", "Management", "--transform", "hellinger", "--task", "scores",
                 "--scaling", str(scaling), "--output", out], work)
        check(r.returncode == 0, f"scaling {scaling}: the run: {r.stderr.strip()}")
        if r.returncode != 0:
            return
        if ssy is None:
            _, rows = table(os.path.join(work, out, "results.tsv"))
            ssy = float([row for row in rows if row[0] == "total"][0][4])
            n = len(table(os.path.join(work, out, "ordination-1-objects.tsv"))[1])
        # The ratios to vegan's scores (docs/user-guide.md): vegan's carry the constant
        # ((n - 1) tot.chi)^(1/4) = SSY^(1/4), and its scaling 2 divides the sites by
        # sqrt(n - 1) more than ours do.
        c = ssy ** 0.25
        ratio = {"wa": c, "lc": c, "species": 1 / c} if scaling == 1 else \
            {"wa": math.sqrt(n - 1) / c, "lc": math.sqrt(n - 1) / c, "species": c / math.sqrt(n - 1)}
        objects = os.path.join(work, out, "ordination-1-objects.tsv")
        ours = {"wa": columns(objects, [f"site_{k}" for k in (1, 2, 3)]),
                "lc": columns(objects, [f"axis{k}" for k in (1, 2, 3)]),
                "species": columns(os.path.join(work, out, "ordination-1-species.tsv"),
                                   [f"axis{k}" for k in (1, 2, 3)])}
        for k in range(3):
            names, sites = ours["wa"][0], ours["wa"][1][k]
            peer_names, peer = vegan(work, "wa", scaling)
            big = max(range(len(sites)), key=lambda i: abs(sites[i]))
            sign = 1.0 if sites[big] * peer[k][peer_names.index(names[big])] > 0 else -1.0
            for display in ("wa", "lc", "species"):
                names, values = ours[display][0], ours[display][1][k]
                peer_names, peer = vegan(work, display, scaling)
                check(sorted(names) == sorted(peer_names), f"scaling {scaling} {display}: the rows' names")
                if sorted(names) != sorted(peer_names):
                    continue
                want = [sign * ratio[display] * peer[k][peer_names.index(x)] for x in names]
                scale = max(abs(v) for v in want)
                worst = max(abs(a - b) for a, b in zip(values, want)) / scale
                check(worst <= 1e-10, f"scaling {scaling} {display} axis {k + 1}: {worst:.3g} of the largest")
    check(read(os.path.join(work, "one-1", "FittedSc.out")) == read(os.path.join(work, "one-2", "FittedSc.out")),
          "--scaling 2 changed FittedSc.out")
    check(masked(read(os.path.join(work, "one-1", "Morvenak.out"))) ==
          masked(read(os.path.join(work, "one-2", "Morvenak.out"))), "--scaling 2 changed the report")
    r = run(["--main", "Management", "--transform", "hellinger", "--task", "scores", "--output", "default"], work)
    check(r.returncode == 0 and all(
        read(os.path.join(work, "default", f)) == read(os.path.join(work, "one-1", f))
        for f in ("ordination-1-objects.tsv", "ordination-1-species.tsv", "ordination-2-objects.tsv")),
        f"the default scaling's score tables are not --scaling 1's: {r.stderr.strip()}")


def centroids(work):
    for distance in ("euclidean", "bray"):
        for scaling in (1, 2):
            out = f"nested-{distance}-{scaling}"
            r = run(["--main", "Management", "--nested", "Use", "--transform", "hellinger", "--distance", distance,
                     "--task", "scores", "--scaling", str(scaling), "--output", out], work)
            check(r.returncode == 0, f"{out}: the run: {r.stderr.strip()}")
            if r.returncode != 0:
                continue
            for k, cell in ((1, ["Management"]), (2, ["Management", "Use"])):
                head, rows = table(os.path.join(work, out, f"ordination-{k}-objects.tsv"))
                sites = [c for c in head if c.startswith("site_")]
                check(len(sites) > 0 and len(sites) == len([c for c in head if c.startswith("axis")]),
                      f"{out} ordination {k}: the site columns {head}")
                key = [tuple(r[head.index(c)] for c in cell) for r in rows]
                for s in sites:
                    a = head.index("axis" + s[len("site_"):])
                    values = [float(r[head.index(s)]) for r in rows]
                    scale = max(abs(v) for v in values)
                    worst = 0.0
                    for i, r in enumerate(rows):
                        members = [values[j] for j in range(len(rows)) if key[j] == key[i]]
                        worst = max(worst, abs(sum(members) / len(members) - float(r[a])))
                    check(worst <= 1e-12 * scale, f"{out} ordination {k} {s}: off its centroid by {worst:.3g}")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
args = parser.parse_args()
work = tempfile.mkdtemp(prefix="morvenak-sites-")
peer = subprocess.run(["Rscript", "-"], input=R_PEER, capture_output=True, text=True, cwd=work)
check(peer.returncode == 0, f"R with vegan is needed: {peer.stderr.strip()[-300:]}")
if peer.returncode == 0:
    against_vegan(work)
    centroids(work)
status = finish([work])
if status == 0:
    print("site scores: ok")
sys.exit(status)
