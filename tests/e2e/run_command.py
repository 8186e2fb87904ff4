#!/usr/bin/env python3
"""End-to-end runs of `morvenak run`, each in a fresh temporary folder, on the dune
tables: the report against prepare plus the dialogue and against the classic folder
it writes, the numbers of results.tsv and results.json against the report, tables
written other ways, the warnings, the errors with their exit statuses, the output
folder, an interrupt, a seed, the progress bar (pseudo-terminal and pipe), and the
subcommands prepare and plot.

usage: run_command.py --morvenak BUILD/morvenak --data tests/tools/data/dune
Exit status 0 when every check passes, 1 when one fails.
"""
import argparse
import csv
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from checks import check, finish, masked, report_rows

def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


folders = []


def fresh():
    d = tempfile.mkdtemp(prefix="run_e2e_")
    folders.append(d)
    for name in ("dune.csv", "dune.env.csv", "dune.env.cells.csv"):
        shutil.copy(os.path.join(args.data, name), d)
    return d


def morvenak(argv, cwd, stdin=None, timeout=300):
    return subprocess.run([args.morvenak] + argv, cwd=cwd, input=stdin, capture_output=True,
                          text=True, timeout=timeout)


DUNE = ["run", "--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management",
        "--nested", "Use", "--transform", "hellinger"]


def tsv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def expect_error(cwd, argv, message, status, what):
    """A run that fails: its status, its message, and the folder as it was."""
    before = sorted(os.listdir(cwd))
    r = morvenak(argv, cwd)
    check(r.returncode == status, f"{what}: status {r.returncode}, expected {status}: {r.stderr!r}")
    check(message in r.stderr, f"{what}: stderr {r.stderr!r}, expected {message!r}")
    check(sorted(os.listdir(cwd)) == before, f"{what}: the folder changed: {sorted(os.listdir(cwd))}")
    return r


def dune_identity():
    """The report of the run is the report of prepare plus the dialogue, and the report
    of the dialogue inside its classic folder; its numbers are the report's."""
    d = fresh()
    r = morvenak(DUNE, d)
    check(r.returncode == 0, f"dune: status {r.returncode}: {r.stderr}")
    # The report's console lines are the dialogue's; the run shows none of them.
    for line in ("Morvenak, version", "File of response variables", "Permutation test: please wait",
                 "Computation time", "End of the program"):
        check(line not in r.stdout and line not in r.stderr, f"dune: console line {line!r} shown")
    out = os.path.join(d, "dune-morvenak")
    names = sorted(os.listdir(out))
    check(names == ["FittedSc.out", "Morvenak.out", "classic"] +
          [f"ordination-{k}-{w}.tsv" for k in (1, 2, 3) for w in ("objects", "species")] +
          ["results.json", "results.tsv"], f"dune: outputs {names}")
    check(sorted(os.listdir(os.path.join(out, "classic"))) ==
          ["X1.txt", "X2.txt", "Y.txt", "answers.txt", "files.txt"], "dune: classic folder")
    check(read(os.path.join(out, "classic", "answers.txt")) == "files.txt\n3\n5\n999\n1\n",
          "dune: answers")
    report = read(os.path.join(out, "Morvenak.out"))

    # prepare plus the dialogue, in another folder.
    p = fresh()
    r2 = morvenak(["prepare", "-s", "dune.csv", "-l", "dune.env.csv", "-m", "Management", "-n", "Use"], p)
    check(r2.returncode == 0, f"prepare: {r2.stderr}")
    r3 = subprocess.run([args.morvenak], cwd=p, input="files.txt\n3\n5\n999\n1\n", capture_output=True, text=True)
    check(r3.returncode == 0, f"dialogue: {r3.stderr}")
    check(masked(read(os.path.join(p, "Morvenak.out"))) == masked(report), "dune: report differs from prepare + dialogue")
    check(masked(read(os.path.join(p, "FittedSc.out"))) == masked(read(os.path.join(out, "FittedSc.out"))),
          "dune: score file differs from prepare + dialogue")
    # The dialogue inside a copy of the classic folder.
    c = os.path.join(fresh(), "classic")
    shutil.copytree(os.path.join(out, "classic"), c)
    with open(os.path.join(c, "answers.txt")) as answers:
        r4 = subprocess.run([args.morvenak], cwd=c, stdin=answers, capture_output=True, text=True)
    check(r4.returncode == 0, f"classic folder: {r4.stderr}")
    check(masked(read(os.path.join(c, "Morvenak.out"))) == masked(report), "dune: report differs from the classic folder's")

    # results.tsv to the report's digits; results.json the same numbers.
    rows = tsv(os.path.join(out, "results.tsv"))
    check([x["source"] for x in rows] == ["main", "nested1", "within", "total"], "tsv: sources")
    check([x["factor"] for x in rows] == ["Management", "Use", "", ""], "tsv: factors")
    rep = report_rows(report)
    f5 = lambda v: "%.5f" % float(v)
    for x, label in zip(rows, ("Main factor", "Nested factor")):
        want = rep[label]  # df1 df2 SS MS F P
        got = [x["df1"], x["df2"], f5(x["SS"]), f5(x["MS"]), f5(x["F"]), f5(x["P"])]
        check(got == want, f"tsv {label}: {got} against the report's {want}")
        check(x["permutations"] == "999" and x["note"] == "", f"tsv {label}: permutations, note")
    within, total = rows[2], rows[3]
    check([within["df1"], f5(within["SS"]), f5(within["MS"])] == rep["Within subgroups"], "tsv: within row")
    check(within["df2"] == within["F"] == within["P"] == "" and within["permutations"] == "0", "tsv: within blanks")
    check([total["df1"], f5(total["SS"])] == rep["Total"], "tsv: total row")
    check(total["MS"] == total["F"] == total["P"] == "" and total["R2"] == "1", "tsv: total blanks")
    ssy = float(total["SS"])
    for x in rows:
        check(float(x["R2"]) == float(x["SS"]) / ssy, f"tsv: R2 of {x['source']}")
    j = json.loads(read(os.path.join(out, "results.json")))
    check(list(j)[0] == "schema_version" and j["schema_version"] == 3, "json: schema_version first, 3")
    for x, y in zip(rows, j["rows"]):
        for key in ("SS", "MS", "F", "P", "R2"):
            check((y[key] is None and x[key] == "") or (x[key] != "" and y[key] == float(x[key])),
                  f"json {x['source']} {key}: {y[key]} against {x[key]}")
    check(j["options"]["seed"] == 1 and j["options"]["permutations"] == 999 and
          j["options"]["transform"] == "hellinger", "json: options")
    check(j["inputs"]["species"]["bytes"] == os.path.getsize(os.path.join(d, "dune.csv")), "json: size")
    import hashlib
    check(j["inputs"]["labels"]["sha256"] ==
          hashlib.sha256(read(os.path.join(d, "dune.env.csv"), "rb")).hexdigest(), "json: sha256")
    check([f["column"] for f in j["design"]["factors"]] == ["Management", "Use"], "json: factors")
    check(len(j["design"]["factors"][1]["levels"]) == 11, "json: 11 subgroups")
    check(j["design"]["samples"][1] == {"sample": "2", "Management": "BF", "Use": "Haypastu"}, "json: samples")
    check(len(j["ordinations"]) == 3 and j["ordinations"][2]["objects_file"] == "ordination-3-objects.tsv",
          "json: ordinations")
    scores = read(os.path.join(out, "FittedSc.out"))
    first = j["ordinations"][0]
    check(" Canonical eigenvalues (   %d eigenvalues)" % first["axes"] in scores, "json: axes of ordination 1")
    check(("%10.5f" % first["eigenvalues"][0]) in scores, "json: first eigenvalue in the score file")
    objects = tsv(os.path.join(out, "ordination-1-objects.tsv"))
    check(len(objects) == 20 and list(objects[0])[:3] == ["sample", "Management", "Use"] and
          objects[0]["sample"] == "1" and objects[0]["Use"] == "Haypastu", "objects table")
    check(("%10.5f" % float(objects[0]["axis1"])) in scores, "objects table: the first score")
    species = tsv(os.path.join(out, "ordination-1-species.tsv"))
    check(len(species) == 30 and species[0]["species"] == "Achimill" and
          len(species[0]) == first["axes"] + 1, "species table")
    check("Main factor Management: 4 levels" in r.stdout and "Results in dune-morvenak" in r.stdout,
          f"summary {r.stdout!r}")
    return d, report


def same_report(d, argv, report, what, output="dune-morvenak"):
    r = morvenak(argv, d)
    check(r.returncode == 0, f"{what}: status {r.returncode}: {r.stderr}")
    path = os.path.join(d, output, "Morvenak.out")
    check(os.path.exists(path) and masked(read(path)) == masked(report), f"{what}: report differs")
    return r


def tables_other_ways(report):
    # Labels in another order, with samples the species table does not hold.
    d = fresh()
    lines = read(os.path.join(d, "dune.env.csv")).rstrip("\n").split("\n")
    write(os.path.join(d, "env.csv"), "\n".join([lines[0]] + lines[:0:-1] +
                                               ['"x1",1,"1","SF","Pasture","1"', '"x2",1,"1","ZZ","Pasture","1"']) + "\n")
    r = same_report(d, DUNE[:4] + ["env.csv"] + DUNE[5:], report, "labels reversed with extra samples")
    check("2 samples of env.csv not in it ignored" in r.stdout, f"extra samples: summary {r.stdout!r}")
    j = json.loads(read(os.path.join(d, "dune-morvenak", "results.json")))
    check(j["design"]["ignored_label_rows"] == 2, "extra samples: json")

    # Semicolons and decimal commas, told from the tables or named.
    d = fresh()
    sp = read(os.path.join(d, "dune.csv")).rstrip("\n").split("\n")
    body = [sp[0].replace(",", ";")] + [";".join([r.split(",")[0]] + [v + ",0" for v in r.split(",")[1:]]) for r in sp[1:]]
    write(os.path.join(d, "dune.csv"), "\n".join(body) + "\n")
    write(os.path.join(d, "dune.env.csv"), read(os.path.join(d, "dune.env.csv")).replace(",", ";"))
    same_report(d, DUNE, report, "semicolons and decimal commas")
    same_report(d, DUNE + ["--sep", ";", "--decimal", ",", "--output", "named"], report,
                "semicolons and decimal commas named", "named")
    expect_error(d, DUNE + ["--decimal", ".", "--output", "dot"],
                 'dune.csv, line 2, column 2 (Achimill): "1,0" is not a number with a decimal point; '
                 "for decimal commas give --decimal ,", 2, "decimal comma read as a point")
    write(os.path.join(d, "mixed.csv"), "\n".join(body[:2] + [body[2].replace("3,0", "3.5", 1)] + body[3:]) + "\n")
    expect_error(d, ["run", "--species", "mixed.csv"] + DUNE[3:],
                 'mixed.csv: "3.5" (line 3, column 2) has a decimal point and "1,0" (line 2, column 2) a '
                 "decimal comma, so the decimal mark cannot be told; name it with --decimal . or --decimal ,",
                 2, "both decimal marks")

    # Nested labels reused across parents give the cells' report.
    d = fresh()
    same_report(d, DUNE[:4] + ["dune.env.cells.csv", "--main", "Management", "--nested", "Cell",
                               "--transform", "hellinger"], report, "cells instead of Use")


def warnings():
    d = fresh()
    r = morvenak(DUNE + ["--task", "anova"], d)
    check('morvenak run: warning: factor "Use" (nested in "Management"): 7 subgroups have a single sample: '
          '"Haypastu" in "BF", "Haypastu" in "HF", "Hayfield" in "BF", "Pasture" in "BF", "Pasture" in "NM", ...\n'
          in r.stderr, f"single samples: {r.stderr!r}")
    check(r.returncode == 0, "single samples: status")
    j = json.loads(read(os.path.join(d, "dune-morvenak", "results.json")))
    check(len(j["warnings"]) == 1 and j["warnings"][0].startswith('factor "Use"'), "warnings in the json")

    # A measurement as a factor; a nested factor of one sample per subgroup.
    d = fresh()
    env = read(os.path.join(d, "dune.env.csv")).rstrip("\n").split("\n")
    write(os.path.join(d, "env.csv"), "\n".join([env[0] + ',"Plot"'] + [e + ",p" + e.split(",")[0].strip('"') for e in env[1:]]) + "\n")
    r = morvenak(["run", "--species", "dune.csv", "--labels", "env.csv", "--main", "A1", "--task", "anova",
                  "--output", "a1"], d)
    check(r.returncode == 0 and 'warning: factor "A1" looks continuous: its labels are numbers, with 14 different values'
          " among 20 samples; a factor groups samples, so check that this column is the one you mean\n" in r.stderr,
          f"continuous: {r.returncode} {r.stderr!r}")
    r = morvenak(["run", "--species", "dune.csv", "--labels", "env.csv", "--main", "Management", "--nested", "Plot",
                  "--output", "plot"], d)
    check(r.returncode == 0 and 'warning: factor "Plot" (nested in "Management"): every subgroup has a single '
          "sample, so no variation is left within its subgroups and its row cannot be tested (its F needs the "
          "mean square within subgroups)\n" in r.stderr, f"one sample per subgroup: {r.returncode} {r.stderr!r}")
    if r.returncode == 0:
        rows = tsv(os.path.join(d, "plot", "results.tsv"))
        check(rows[1]["P"] == "" and rows[1]["permutations"] == "0" and rows[1]["note"].startswith("cannot be tested"),
              f"one sample per subgroup: row {rows[1]}")
        j = json.loads(read(os.path.join(d, "plot", "results.json")))
        check(j["rows"][2]["MS"] is None and j["rows"][2]["note"] != "", f"one sample per subgroup: json {j['rows'][2]}")


def nesting_by_labels():
    """A nested factor no finer than its parent runs, as the labels nest it: dune's Moisture
    within Use within Management (18 cells, 7 dummy variables against 7). The dialogue
    could not read it, so there is no classic folder and the report says so; the sums of
    squares are those of the cells' means. A nested factor of one subgroup per parent
    level is still refused."""
    d = fresh()
    r = morvenak(["run", "--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management",
                  "--nested", "Use", "--nested", "Moisture", "--permutations", "99", "--output", "o"], d)
    check(r.returncode == 0, f"coarse nesting: {r.returncode} {r.stderr!r}")
    if r.returncode != 0:
        return
    out = os.path.join(d, "o")
    check("classic" not in os.listdir(out), "coarse nesting: a classic folder")
    report = read(os.path.join(out, "Morvenak.out"))
    check("\n Beyond the classic dialogue: the nested factor Moisture gives 7 dummy variables (18 subgroups in 11 "
          "groups of Use), not more than the 7 of Use\n Data from the tables dune.csv and dune.env.csv: 20 objects, "
          "30 species; factors Management (4 levels), Use (11 subgroups), Moisture (18 subgroups)\n" in report and
          "File" not in report, "coarse nesting: the report's note")
    species = [line.split(",") for line in read(os.path.join(d, "dune.csv")).strip().split("\n")]
    with open(os.path.join(d, "dune.env.csv"), newline="") as f:
        labels = {row[""]: row for row in csv.DictReader(f)}
    rows = [(name.strip('"'), [float(v) for v in values]) for name, *values in species[1:]]

    def between(key):
        """The sum of squares of the groups' means about the grand mean."""
        groups = {}
        for name, values in rows:
            groups.setdefault(key(labels[name]), []).append(values)
        p = len(rows[0][1])
        grand = [sum(v[j] for _, v in rows) / len(rows) for j in range(p)]
        return sum(len(g) * sum((sum(v[j] for v in g) / len(g) - grand[j]) ** 2 for j in range(p))
                   for g in groups.values())

    a = between(lambda l: l["Management"])
    b = between(lambda l: (l["Management"], l["Use"]))
    c = between(lambda l: (l["Management"], l["Use"], l["Moisture"]))
    table = tsv(os.path.join(out, "results.tsv"))
    check([(t["df1"], t["df2"]) for t in table] == [("3", "7"), ("7", "7"), ("7", "2"), ("2", ""), ("19", "")],
          f"coarse nesting: degrees of freedom {table}")
    check(all(abs(float(t["SS"]) - x) < 1e-9 for t, x in zip(table, (a, b - a, c - b))),
          f"coarse nesting: sums of squares {[t['SS'] for t in table]} {(a, b - a, c - b)}")

    # One subgroup per level of its parent: no degrees of freedom, refused, nothing written.
    env = read(os.path.join(d, "dune.env.csv")).rstrip("\n").split("\n")
    write(os.path.join(d, "twin.csv"), "\n".join([env[0] + ',"Twin"'] + [e + ",t" + e.split(",")[3].strip('"')
                                                                        for e in env[1:]]) + "\n")
    expect_error(d, ["run", "--species", "dune.csv", "--labels", "twin.csv", "--main", "Management", "--nested",
                     "Twin"],
                 "twin.csv, column 7 (Twin): the nested factor has a single subgroup within each level of "
                 "Management, so it divides none of them and has no degrees of freedom", 2, "no degrees of freedom")


def level_order():
    """--levels orders the levels in the JSON, the classic files (which still reproduce the
    report, as prepare with the same order writes them) and the figures' legend; a label it
    leaves out is an error naming its file, line and column."""
    d = fresh()
    order = ["--levels", "Management=NM,HF,BF,SF", "--levels", "Use=Pasture,Haypastu,Hayfield"]
    r = morvenak(DUNE + order + ["--permutations", "99", "--output", "o"], d)
    check(r.returncode == 0, f"levels: {r.returncode} {r.stderr!r}")
    if r.returncode != 0:
        return
    out = os.path.join(d, "o")
    j = json.loads(read(os.path.join(out, "results.json")))
    check([lv["label"] for lv in j["design"]["factors"][0]["levels"]] == ["NM", "HF", "BF", "SF"],
          "levels: the main factor's order in the JSON")
    check(j["options"]["levels"] == {"Management": ["NM", "HF", "BF", "SF"],
                                     "Use": ["Pasture", "Haypastu", "Hayfield"]}, "levels: the options")
    c = os.path.join(out, "classic")
    with open(os.path.join(c, "answers.txt")) as answers:
        r2 = subprocess.run([args.morvenak], cwd=c, stdin=answers, capture_output=True, text=True)
    check(r2.returncode == 0 and masked(read(os.path.join(c, "Morvenak.out"))) ==
          masked(read(os.path.join(out, "Morvenak.out"))), "levels: the classic folder's report differs")
    p = fresh()
    r3 = morvenak(["prepare", "-s", "dune.csv", "-l", "dune.env.csv", "-m", "Management", "-n", "Use"] + order, p)
    check(r3.returncode == 0 and all(read(os.path.join(p, x)) == read(os.path.join(c, x)) for x in ("X1.txt", "X2.txt")),
          f"levels: prepare's factor files differ from the run's: {r3.stderr!r}")
    r4 = morvenak(["plot", "o", "--format", "pdf"], d)
    text = subprocess.run(["pdftotext", os.path.join(out, "figures", "ordination-1.pdf"), "-"],
                          capture_output=True, text=True).stdout if r4.returncode == 0 else ""
    legend = [text.find(x) for x in ("NM (6)", "HF (5)", "BF (3)", "SF (6)")]
    check(-1 not in legend and legend == sorted(legend), f"levels: the legend's order {legend} {r4.stderr!r}")
    expect_error(d, DUNE + ["--levels", "Management=NM,HF,BF"],
                 "dune.env.csv, line 2, column 4 (Management): the label \"SF\" is not among the levels --levels "
                 "gives for Management; list every level once", 2, "levels: a label left out")


def errors():
    d = fresh()
    sp = read(os.path.join(d, "dune.csv")).rstrip("\n").split("\n")
    env = read(os.path.join(d, "dune.env.csv")).rstrip("\n").split("\n")

    def variant(name, rows):
        write(os.path.join(d, name), "\n".join(rows) + "\n")
        return name

    labels = lambda f: ["run", "--species", "dune.csv", "--labels", f, "--main", "Management", "--nested", "Use"]
    species = lambda f: ["run", "--species", f, "--labels", "dune.env.csv", "--main", "Management"]
    expect_error(d, labels(variant("nolab.csv", env[:5] + env[6:])),
                 'morvenak run: dune.csv, line 6, column 1: sample "5" is not in nolab.csv; add its labels there, '
                 "or leave the sample out of dune.csv\n", 2, "species sample missing from the labels")
    expect_error(d, species(variant("dup.csv", sp + [sp[3]])),
                 'dup.csv, line 22, column 1: sample "3" appears a second time (first at line 4)', 2, "duplicate sample")
    expect_error(d, species(variant("dupsp.csv", [sp[0].replace('"Poaprat"', '"Achimill"')] + sp[1:])),
                 'dupsp.csv, line 1, column 20: species "Achimill" appears a second time (first in column 2); '
                 "give each species column its own name", 2, "duplicate species")
    expect_error(d, species(variant("empty.csv", sp[:2] + [sp[2].replace(",3,", ",,", 1)] + sp[3:])),
                 "empty.csv, line 3, column 2 (Achimill): the abundance is empty; write 0 for a species not found",
                 2, "empty abundance")
    expect_error(d, species(variant("na.csv", sp[:2] + [sp[2].replace(",3,", ",NA,", 1)] + sp[3:])),
                 "na.csv, line 3, column 2 (Achimill): the abundance is missing (NA); write 0 for a species not found",
                 2, "NA abundance")
    expect_error(d, species(variant("text.csv", sp[:2] + [sp[2].replace(",3,", ",3x,", 1)] + sp[3:])),
                 'text.csv, line 3, column 2 (Achimill): "3x" is not a number', 2, "non-numeric abundance")
    expect_error(d, species(variant("huge.csv", sp[:2] + [sp[2].replace(",3,", ",1e309,", 1)] + sp[3:])),
                 'huge.csv, line 3, column 2 (Achimill): "1e309" is beyond the range of a double-precision number',
                 2, "an abundance beyond a double")
    # Values the analysis cannot square, named before the eigen-decomposition fails on them.
    expect_error(d, species(variant("neg.csv", sp[:2] + [sp[2].replace(",3,", ",-3,", 1)] + sp[3:])) +
                 ["--transform", "hellinger"],
                 "the Hellinger transformation takes the square root of each value divided by its object's total, "
                 "and sample 2, species Achimill (neg.csv, line 3, column 2) holds -3: Hellinger needs abundances "
                 "of 0 or more", 1, "a negative value under Hellinger")
    expect_error(d, species(variant("e155.csv", sp[:2] + [sp[2].replace(",3,", ",3e155,", 1)] + sp[3:])),
                 "the sum of squares of Y overflows: sample 2, species Achimill (e155.csv, line 3, column 2) holds "
                 "3e+155", 1, "squares beyond a double")
    expect_error(d, labels(variant("nalab.csv", env[:3] + [env[3].replace('"Haypastu"', "NA")] + env[4:])),
                 'nalab.csv, line 4, column 5 (Use): the label of sample "3" is missing (NA); give every sample '
                 "a label, or leave it out of dune.csv", 2, "NA label")
    expect_error(d, labels(variant("emptylab.csv", env[:3] + [env[3].replace('"SF"', "")] + env[4:])),
                 'emptylab.csv, line 4, column 4 (Management): the label of sample "3" is empty', 2, "empty label")
    expect_error(d, ["run", "--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Mangement"],
                 'no column is named "Mangement"', 2, "unknown column")
    expect_error(d, ["run", "--species", "none.csv", "--labels", "dune.env.csv", "--main", "Management"],
                 "morvenak run: none.csv: cannot open the file: No such file or directory", 2, "missing file")
    expect_error(d, DUNE + ["--transform", "log"], "--transform: log not in", 2, "unknown transformation")
    expect_error(d, DUNE + ["--permutations", "-5"], "--permutations", 2, "negative permutations")
    expect_error(d, DUNE + ["--seed", "4294967296"], "--seed", 2, "seed out of range")
    expect_error(d, DUNE + ["--bogus"], "The following argument was not expected: --bogus", 2, "unknown option")
    expect_error(d, ["run", "--species", "dune.csv"], "--labels is required", 2, "missing option")
    expect_error(d, ["run", "--species", variant("semi.csv", [sp[0] + ";x"] + sp[1:]), "--labels", "dune.env.csv",
                     "--main", "Management"],
                 "semi.csv, line 1: the header holds both commas and semicolons, so the separator cannot be "
                 "told; name it with --sep , or --sep ';'", 2, "both separators")
    # Four factors are beyond the library's limits too: status 1.
    expect_error(d, DUNE + ["--nested", "Moisture", "--nested", "Manure"],
                 "morvenak run: 4 factor columns were given; the program takes at most 3 (a main factor and two "
                 "nested ones)\n", 1, "four factors")
    # The main factor with one level cannot be analysed.
    expect_error(d, ["run", "--species", "dune.csv", "--labels", variant("one.csv", [e + ",1" for e in env]),
                     "--main", '1'],
                 "one.csv, column 7 (1): the main factor has one level only", 2, "one level")


def output_folder(report):
    d = fresh()
    os.mkdir(os.path.join(d, "dune-morvenak"))
    write(os.path.join(d, "dune-morvenak", "keep.txt"), "mine")
    expect_error(d, DUNE, "morvenak run: dune-morvenak: the output folder exists and is not empty; nothing is "
                 "ever overwritten, so name a new or empty folder with --output\n", 2, "existing output folder")
    check(os.listdir(os.path.join(d, "dune-morvenak")) == ["keep.txt"] and
          read(os.path.join(d, "dune-morvenak", "keep.txt")) == "mine", "existing output folder: kept")
    write(os.path.join(d, "afile"), "x")
    expect_error(d, DUNE + ["--output", "afile"], "afile: exists and is not a folder", 2, "output is a file")
    os.mkdir(os.path.join(d, "empty"))
    same_report(d, DUNE + ["--output", "empty"], report, "empty output folder", "empty")
    check(sorted(x for x in os.listdir(d) if x.startswith(".")) == [], "no temporary folder left")


def interrupt():
    """An interrupt, a termination request, a closed terminal, a quit key, a user signal and
    a timer each cancel the run: status 1, the output folder as it was, nothing beside it."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM):
        d = fresh()
        os.mkdir(os.path.join(d, "out"))
        p = subprocess.Popen([args.morvenak] + DUNE + ["--permutations", "100000000", "--output", "out"], cwd=d,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Wait until the test is under way: the classic files are in the temporary folder.
        deadline = time.time() + 30
        while time.time() < deadline and not any(x.startswith(".out.tmp-") for x in os.listdir(d)):
            time.sleep(0.05)
        time.sleep(0.5)
        p.send_signal(sig)
        out, err = p.communicate(timeout=60)
        what = f"interrupt by {signal.Signals(sig).name}"
        check(p.returncode == 1, f"{what}: status {p.returncode}: {err!r}")
        check(err.endswith("morvenak run: interrupted; the output folder was left as it was\n"), f"{what}: {err!r}")
        check(os.listdir(os.path.join(d, "out")) == [], f"{what}: the output folder is no longer empty")
        check(sorted(os.listdir(d)) == ["dune.csv", "dune.env.cells.csv", "dune.env.csv", "out"],
              f"{what}: the folder holds {sorted(os.listdir(d))}")


def memory_limit():
    """Out of memory anywhere in the run (reading, analysing, writing) ends with status 1 and
    leaves nothing. A build with AddressSanitizer reserves more address space than any such
    limit allows, so there the limit cannot be set and nothing is checked."""
    with open(args.morvenak, "rb") as f:
        if b"__asan_" in f.read():  # the instrumented code calls the sanitizer's checks
            print("run: memory_limit: an AddressSanitizer build cannot run under an address-space limit")
            return
    import resource
    d = fresh()
    row = ",".join(["0", "1", "0", "2", "0", "3", "0", "0"] * 125)
    write(os.path.join(d, "mid.csv"), "s," + ",".join(f"sp{j}" for j in range(1000)) + "\n" +
          "".join(f"r{i},{row[i % 7 * 2:]},{row[:i % 7 * 2 - 1]}\n" if i % 7 else f"r{i},{row}\n"
                  for i in range(6000)))
    write(os.path.join(d, "mid.env.csv"), "s,A\n" + "".join(f"r{i},a{i % 5}\n" for i in range(6000)))
    before = sorted(os.listdir(d))
    # From failing while reading to failing near the end: whatever the limit, complete
    # results or none.
    for megabytes in (150, 200, 240, 250, 255, 258):
        def limit(b=megabytes * 1024 * 1024):
            resource.setrlimit(resource.RLIMIT_AS, (b, b))
        r = subprocess.run([args.morvenak, "run", "--species", "mid.csv", "--labels", "mid.env.csv", "--main", "A",
                            "--permutations", "9", "--output", "o"], cwd=d, capture_output=True, text=True,
                           preexec_fn=limit, timeout=300)
        what = f"memory limit {megabytes} MB"
        if r.returncode == 0:
            check(sorted(os.listdir(d)) == sorted(before + ["o"]) and "results.json" in os.listdir(os.path.join(d, "o")),
                  f"{what}: a run that ended well left {sorted(os.listdir(d))}")
            shutil.rmtree(os.path.join(d, "o"))
            continue
        check(r.returncode == 1 and "not enough memory" in r.stderr, f"{what}: {r.returncode} {r.stderr!r}")
        check(sorted(os.listdir(d)) == before, f"{what}: the folder holds {sorted(os.listdir(d))}")


def seed(report):
    d = fresh()
    r = morvenak(DUNE + ["--seed", "7"], d)
    check(r.returncode == 0, f"seed: {r.stderr}")
    out = os.path.join(d, "dune-morvenak")
    check("classic" not in os.listdir(out), "seed: a classic folder that would not reproduce the report")
    seeded = read(os.path.join(out, "Morvenak.out"))
    check(" Options beyond the classic dialogue: --seed 7\n" in seeded, "seed: banner note")
    a, b = report_rows(report), report_rows(seeded)
    check(a["Main factor"][:5] == b["Main factor"][:5], "seed: F changed")
    check(a["Main factor"][5] != b["Main factor"][5] or a["Nested factor"][5] != b["Nested factor"][5],
          f"seed: P unchanged {a} {b}")
    j = json.loads(read(os.path.join(out, "results.json")))
    check(j["options"]["seed"] == 7 and j["options"]["seed_given"] and j["files"]["classic"] is None, "seed: json")


def main_units(report):
    """The main factor tested by permuting Use's subgroups as units: the report says so
    under the probabilities, results.tsv and results.json carry the test, and the nested
    factor's test is the objects scheme's."""
    d = fresh()
    r = morvenak(DUNE + ["--main-units", "subgroups", "--task", "anova"], d)
    check(r.returncode == 0, f"subgroups: {r.stderr}")
    out = os.path.join(d, "dune-morvenak")
    check(sorted(os.listdir(out)) == ["Morvenak.out", "results.json", "results.tsv"],
          f"subgroups: outputs {sorted(os.listdir(out))}")
    text = read(os.path.join(out, "Morvenak.out"))
    check(" Options beyond the classic dialogue: --main-units subgroups\n" in text, "subgroups: banner note")
    line = re.search(r" Probabilities after +\d+ permutations\n Main factor: ([^\n]*)\n", text)
    check(line is not None, f"subgroups: no main factor line in {text[-1500:]!r}")
    j = json.loads(read(os.path.join(out, "results.json")))
    t = j["main_test"]
    check(j["options"]["main_units"] == "subgroups" and j["options"]["exact"] is False and
          j["options"]["generator"] == "auto", f"subgroups: options {j['options']}")
    check(t["units"] == "subgroups" and t["groups"] == 4 and t["arrangements"] > 0 and
          t["permutations"] == min(999, t["arrangements"] - 1) and t["exact"] == (t["arrangements"] <= 999),
          f"subgroups: main_test {t}")
    check(j["generator"] == {"name": "classic", "seed": 1}, f"subgroups: generator {j['generator']}")
    rows = {row["source"]: row for row in tsv(os.path.join(out, "results.tsv"))}
    main_note = rows["main"]["note"]
    check(main_note.startswith("subgroups permuted as units: ") and f"of {t['subgroups']} subgroups" in main_note,
          f"subgroups: tsv note {main_note!r}")
    check(j["rows"][0]["note"] == main_note, "subgroups: json note differs from the tsv's")
    a, b = report_rows(report), report_rows(text)
    check(a["Nested factor"] == b["Nested factor"], f"subgroups: nested row {a['Nested factor']} {b['Nested factor']}")
    check(a["Main factor"][:5] == b["Main factor"][:5], "subgroups: the main F changed")
    # Exact: every arrangement, the JSON says so.
    r = morvenak(DUNE + ["--main-units", "subgroups", "--exact", "--permutations", "9", "--output", "x"], d)
    check(r.returncode == 0, f"exact: {r.stderr}")
    j = json.loads(read(os.path.join(d, "x", "results.json")))
    check(j["main_test"]["exact"] and j["main_test"]["permutations"] == j["main_test"]["arrangements"] - 1 and
          j["options"]["exact"], f"exact: {j['main_test']}")
    # The summary counts the arrangements, the observed one among them.
    check(re.search(r"\n  Management: F = [0-9.]+, P = [0-9.]+ \(%d arrangements, exact\), R2 = " %
                    j["main_test"]["arrangements"], r.stdout) is not None, f"exact: summary {r.stdout!r}")
    check(" Options beyond the classic dialogue: --main-units subgroups --exact\n" in
          read(os.path.join(d, "x", "Morvenak.out")), "exact: banner note")
    # A modern generator and a memory cap go to the options; classic is the dialogue's own.
    r = morvenak(DUNE + ["--generator", "modern", "--max-memory", "512M", "--output", "m"], d)
    check(r.returncode == 0, f"modern: {r.stderr}")
    j = json.loads(read(os.path.join(d, "m", "results.json")))
    check(j["generator"]["name"] == "modern" and j["options"]["max_memory"] == 512 << 20 and
          j["files"]["classic"] is None, f"modern: {j['generator']} {j['options']['max_memory']}")
    check(" Options beyond the classic dialogue: --generator modern\n" in read(os.path.join(d, "m", "Morvenak.out")),
          "modern: banner note")
    r = morvenak(DUNE + ["--generator", "classic", "--output", "c"], d)
    check(r.returncode == 0 and "classic" in os.listdir(os.path.join(d, "c")) and
          masked(read(os.path.join(d, "c", "Morvenak.out"))) == masked(report), "classic generator: the classic run")


def option_errors():
    d = fresh()
    expect_error(d, DUNE + ["--exact"],
                 "morvenak run: --exact enumerates the arrangements of the main factor's subgroups: give it with "
                 "--main-units subgroups\n", 2, "exact with objects")
    expect_error(d, ["run", "--species", "dune.csv", "--labels", "dune.env.csv", "--main", "Management",
                     "--main-units", "subgroups"],
                 "morvenak run: --main-units subgroups permutes the subgroups of the first nested factor: give "
                 "--nested\n", 2, "subgroups without a nested factor")
    for bad in ("8X", "1.5G", "0", "lots", ""):
        expect_error(d, DUNE + ["--max-memory", bad],
                     f"morvenak run: --max-memory {bad or repr(bad)}: not a size; give a whole number of bytes or of "
                     "K, M, G or T (512M, 8G)\n", 2, f"max-memory {bad!r}")
    # Whole numbers in decimal digits, within their range.
    for option, bad, most in (("--permutations", "-1", 2147483647), ("--permutations", "abc", 2147483647),
                              ("--permutations", "0x10", 2147483647), ("--threads", "100000", 1024)):
        expect_error(d, DUNE + [option, bad], f"{option}: a whole number from 0 to {most}, not '{bad}'", 2,
                     f"{option} {bad}")
    os.mkdir(os.path.join(d, "empty"))
    os.symlink("empty", os.path.join(d, "link"))
    expect_error(d, DUNE + ["--output", "link"],
                 "morvenak run: link: is a symbolic link to empty; name the folder itself with --output", 2,
                 "output through a symbolic link")
    expect_error(d, DUNE + ["--sep", ";"], "dune.csv, line 1: error parsing data while strict checking enabled (a "
                 "quote inside a field must be doubled); the header line holds no ';', the separator read with, "
                 "but ',': give --sep ,", 2, "a separator the table does not have")
    # 600 samples: beyond the objects the classic files take, analysed all the same
    # (run_beyond.py checks those runs); prepare keeps its limits.
    species = "id,a,b\n" + "".join(f"s{i},{i % 7},{(i * 3) % 5}\n" for i in range(600))
    labels = "id,g\n" + "".join(f"s{i},{'xy'[i % 2]}\n" for i in range(600))
    write(os.path.join(d, "big.csv"), species)
    write(os.path.join(d, "big.env.csv"), labels)
    expect_error(d, ["prepare", "--species", "big.csv", "--labels", "big.env.csv", "--main", "g"],
                 "morvenak prepare: big.csv, line 503, column 1: more than 501 samples; the program takes at most "
                 "501 objects\n", 1, "prepare beyond the limits")
    r = morvenak(["run", "--species", "big.csv", "--labels", "big.env.csv", "--main", "g", "--quiet"], d)
    check(r.returncode == 0 and sorted(os.listdir(os.path.join(d, "big-morvenak")))[:2] == ["FittedSc.out",
                                                                                         "Morvenak.out"],
          f"beyond the limits: {r.returncode} {r.stderr!r}")


def model(report):
    """A model of nested terms is today's nested design, every output the same; what a
    model of terms cannot do yet is refused, and so is a model beside --main."""
    d = fresh()
    argv = ["run", "--species", "dune.csv", "--labels", "dune.env.csv", "--model", "Management / Use",
            "--transform", "hellinger"]
    same_report(d, argv + ["--output", "by-model"], report, "--model 'Management / Use'", "by-model")
    morvenak(DUNE + ["--output", "by-factors"], d)
    for name in sorted(os.listdir(os.path.join(d, "by-factors"))):
        if os.path.isfile(os.path.join(d, "by-factors", name)) and name not in ("results.json", "Morvenak.out"):
            check(read(os.path.join(d, "by-model", name)) == read(os.path.join(d, "by-factors", name)),
                  f"--model: {name} differs from --main and --nested's")
    by_model = json.loads(read(os.path.join(d, "by-model", "results.json")))
    by_factors = json.loads(read(os.path.join(d, "by-factors", "results.json")))
    check(by_model["options"]["model"] == "Management / Use" and "model" not in by_factors["options"],
          "--model: results.json records the model when it is given")
    check(by_model["rows"] == by_factors["rows"], "--model: results.json's rows differ")
    base = ["run", "--species", "dune.csv", "--labels", "dune.env.csv"]
    expect_error(d, base + ["--main", "Management", "--covariate", "A1"],
                 "morvenak run: --covariate goes with a model: give the design as --model\n", 2, "--covariate with --main")
    expect_error(d, base + ["--model", "Management / (Use"],
                 "morvenak run: --model: the model 'Management / (Use', column 18: ')' was expected\n", 2,
                 "a model that cannot be read")
    expect_error(d, base + ["--model", "Management", "--main", "Management"],
                 "morvenak run: --model gives the design: give it or --main and --nested, not both\n", 2,
                 "--model and --main")


def progress():
    """The bar under a pseudo-terminal, and nothing on a pipe."""
    d = fresh()
    argv = [args.morvenak] + DUNE + ["--permutations", "300000", "--task", "anova"]
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(d)
        os.execv(args.morvenak, argv + ["--progress", "always", "--output", "tty"])
    seen = b""
    while True:
        try:
            ready, _, _ = select.select([fd], [], [], 60)
            if not ready:
                break
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    _, status = os.waitpid(pid, 0)
    text = seen.decode(errors="replace")
    check(os.waitstatus_to_exitcode(status) == 0, f"pty: status {status}")
    check(re.search(r"\rPermutation test \[#+\.*\] \d+/300000, \d+/s, \d+:\d\d:\d\d left", text) is not None,
          f"pty: no bar in {text[-300:]!r}")
    check("Permutation test [####################] 300000/300000" in text, "pty: the bar does not end full")
    r = subprocess.run(argv + ["--output", "pipe"], cwd=d, capture_output=True, text=True)
    check(r.returncode == 0 and "Permutation test" not in r.stderr and "\r" not in r.stderr,
          f"pipe: {r.stderr!r}")
    r = subprocess.run(argv + ["--output", "quiet", "--quiet"], cwd=d, capture_output=True, text=True)
    check(r.returncode == 0 and r.stdout == "", f"quiet: {r.stdout!r}")


def subcommands():
    d = fresh()
    tables = sorted(os.listdir(d))
    r = morvenak(["--help"], d)
    check(r.returncode == 0 and "morvenak run --species FILE" in r.stdout and "morvenak plot" in r.stdout,
          "usage lists the subcommands")
    r = morvenak(["run", "--help"], d)
    check(r.returncode == 0 and "--permutations" in r.stdout and "Example" in r.stdout and
          sorted(os.listdir(d)) == tables, "run --help")
    r = morvenak(DUNE + ["--output", "o"], d)
    check(r.returncode == 0, "plot: the run")
    os.mkdir(os.path.join(d, "svg"))
    r = morvenak(["plot", os.path.join("o", "FittedSc.out"), "--out-dir", "svg"], d)
    check(r.returncode == 0 and len([x for x in os.listdir(os.path.join(d, "svg")) if x.endswith(".svg")]) == 3,
          f"plot: {r.returncode} {r.stderr!r}")
    # The run's own folder, as the README's quick start draws it: the figures
    # read results.json and the score tables, so they carry the sample names.
    r = morvenak(["plot", "o", "--format", "svg,pdf"], d)
    figures = os.path.join(d, "o", "figures")
    check(r.returncode == 0 and sorted(os.listdir(figures)) ==
          ["ordination-%d.%s" % (k, e) for k in (1, 2, 3) for e in ("pdf", "svg")],
          f"plot of the results folder: {r.returncode} {r.stderr!r}")
    if r.returncode == 0:
        text = subprocess.run(["pdftotext", os.path.join(figures, "ordination-1.pdf"), "-"],
                              capture_output=True, text=True).stdout
        check("Management" in text and "SF" in text, "plot of the results folder: the factor and its levels")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
parser.add_argument("--data", required=True)
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
args.data = os.path.abspath(args.data)

_, dune_report = dune_identity()
tables_other_ways(dune_report)
warnings()
nesting_by_labels()
level_order()
errors()
output_folder(dune_report)
interrupt()
memory_limit()
seed(dune_report)
main_units(dune_report)
option_errors()
model(dune_report)
progress()
subcommands()

if finish(folders):
    sys.exit(1)
print("run: ok")
