#!/usr/bin/env python3
"""End-to-end runs of `morvenak run` on designs beyond the classic limits (501 objects,
500 species, 200 dummy variables), made up here: the report's banner, data line and
anova table, its F values against sums of squares of group means computed here, the
outputs and results.json, the same outputs on a second run and with other threads,
a refusal for memory and an interrupt that leave nothing behind.

usage: run_beyond.py --morvenak BUILD/morvenak
Exit status 0 when every check passes, 1 when one fails.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from checks import check, finish, masked, report_rows

def read(path):
    with open(path) as f:
        return f.read()


def morvenak(argv, cwd, timeout=600):
    return subprocess.run([args.morvenak, "run"] + argv, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def abundances(n, p, seed):
    """n rows of p small counts, from a linear congruential sequence."""
    x, rows = seed, []
    for i in range(n):
        row = []
        for j in range(p):
            x = (x * 1103515245 + 12345) % 2 ** 31
            row.append((x >> 16) % 9 + (i % 3) * (j % 4))  # the main groups differ a little
        rows.append(row)
    return rows


def make_tables(folder, name, rows, factors):
    """name.csv and name.env.csv; factors: column -> one label per sample."""
    p = len(rows[0])
    with open(os.path.join(folder, name + ".csv"), "w") as f:
        f.write("id," + ",".join(f"sp{j}" for j in range(p)) + "\n")
        for i, row in enumerate(rows):
            f.write(f"s{i}," + ",".join(str(v) for v in row) + "\n")
    with open(os.path.join(folder, name + ".env.csv"), "w") as f:
        f.write("id," + ",".join(factors) + "\n")
        for i in range(len(rows)):
            f.write(f"s{i}," + ",".join(labels[i] for labels in factors.values()) + "\n")


def between_ss(rows, groups):
    """The sum over species of the squares of the group means' deviations from the
    grand mean, each weighted by its group's size: the SS that the groups explain."""
    n, p = len(rows), len(rows[0])
    members = {}
    for i, g in enumerate(groups):
        members.setdefault(g, []).append(i)
    ss = 0.0
    for j in range(p):
        mean = sum(r[j] for r in rows) / n
        for idx in members.values():
            m = sum(rows[i][j] for i in idx) / len(idx)
            ss += len(idx) * (m - mean) ** 2
    return ss, len(members)


def total_ss(rows):
    n, p = len(rows), len(rows[0])
    return sum(sum((r[j] - sum(q[j] for q in rows) / n) ** 2 for r in rows) for j in range(p))


def close(a, b):
    return abs(a - b) <= 1e-9 * max(abs(a), abs(b), 1e-300)


def outputs(folder):
    """The outputs of a run as they should repeat: times masked, results.json without
    its timings and the options that name the run."""
    got = {}
    for name in sorted(os.listdir(folder)):
        text = read(os.path.join(folder, name))
        if name == "results.json":
            j = json.loads(text)
            del j["timings"]
            del j["execution"]
            for key in ("output", "threads"):
                del j["options"][key]
            text = json.dumps(j, sort_keys=True)
        got[name] = masked(text)
    return got


def nested_design():
    """600 samples by 40 species; Main with 3 levels, Nested with p and q in each."""
    d = tempfile.mkdtemp(prefix="run_beyond_")
    folders.append(d)
    rows = abundances(600, 40, 7)
    main = ["ABC"[i % 3] for i in range(600)]
    nested = ["pq"[(i // 3) % 2] for i in range(600)]
    make_tables(d, "big", rows, {"Main": main, "Nested": nested})
    argv = ["--species", "big.csv", "--labels", "big.env.csv", "--main", "Main", "--nested", "Nested",
            "--permutations", "99"]
    r = morvenak(argv + ["--output", "a", "--threads", "1"], d)
    # The engine's warning goes to standard error as it is met, and into results.json.
    few = ("the main factor has 6 subgroups; permuting them as units, the smallest reachable P is 1/15 = "
           "0.0666667")
    check(r.returncode == 0 and r.stderr == f"morvenak run: warning: {few}\n",
          f"nested: status {r.returncode}: {r.stderr!r}")
    out = os.path.join(d, "a")
    names = sorted(os.listdir(out))
    check(names == sorted(["FittedSc.out", "Morvenak.out", "results.json", "results.tsv"] +
                          [f"ordination-{k}-{w}.tsv" for k in (1, 2, 3) for w in ("objects", "species")]),
          f"nested: outputs {names}")
    report = read(os.path.join(out, "Morvenak.out"))
    check(report.startswith(" (Nested) multivariate analysis of variance\n"), "nested: banner")
    check(" User guide: README.md of the Morvenak distribution.\n\n Data from the tables big.csv and "
          "big.env.csv: 600 objects, 40 species; factors Main (3 levels), Nested (6 subgroups)\n\n"
          " No transformation of the species data\n" in report, f"nested: data line {report[:900]!r}")
    check("File" not in report and "Options beyond" not in report, "nested: a dialogue or file line")
    check(" Probabilities after    99 permutations\n" in report, "nested: permutations line")

    # F of each factor from sums of squares of group means.
    ss_main, a = between_ss(rows, main)
    ss_cells, c = between_ss(rows, [m + s for m, s in zip(main, nested)])
    sst = total_ss(rows)
    df_main, df_nested, df_within = a - 1, c - a, 600 - c
    f_main = (ss_main / df_main) / ((ss_cells - ss_main) / df_nested)
    f_nested = ((ss_cells - ss_main) / df_nested) / ((sst - ss_cells) / df_within)
    table = report_rows(report)
    check(sorted(table) == ["Main factor", "Nested factor", "Total", "Within subgroups"], f"nested: rows {table}")
    check(table.get("Main factor", [])[:2] == ["2", "3"] and table.get("Nested factor", [])[:2] == ["3", "594"] and
          table.get("Within subgroups", [])[:1] == ["594"] and table.get("Total", [])[:1] == ["599"],
          f"nested: degrees of freedom {table}")
    check(table.get("Main factor", [None] * 5)[4] == f"{f_main:.5f}" and
          table.get("Nested factor", [None] * 5)[4] == f"{f_nested:.5f}", f"nested: F {table} {f_main} {f_nested}")
    j = json.loads(read(os.path.join(out, "results.json")))
    rows_json = {row["source"]: row for row in j["rows"]}
    check(close(rows_json["main"]["F"], f_main) and close(rows_json["nested1"]["F"], f_nested) and
          close(j["ssy"], sst), f"nested: results.json F {rows_json['main']['F']} {rows_json['nested1']['F']}")
    check(j["beyond_limits"] is True and j["generator"]["name"] == "modern" and j["files"]["classic"] is None and
          j["files"]["scores"] == "FittedSc.out" and j["design"]["objects"] == 600 and j["warnings"] == [few],
          "nested: results.json")

    # Repeatable (other thread counts: processes_test.py).
    first = outputs(out)
    r = morvenak(argv + ["--output", "b", "--threads", "1"], d)
    check(r.returncode == 0 and outputs(os.path.join(d, "b")) == first, "nested: again differs")

    # A memory cap that the estimate exceeds: status 1, nothing written. The tables are
    # sized from their files before they are read: exactly for a small file, from its
    # first MiB for a larger one.
    before = sorted(os.listdir(d))
    r = morvenak(argv + ["--max-memory", "1M", "--output", "m"], d)
    phases = (r"needs about \S+ MB \(reading the tables \S+ MB, the abundances as numbers \S+ MB, the analysis "
              r"\S+ MB, writing the results \S+ MB\) and 1 MB is allowed \(--max-memory\); each species left out "
              r"saves about \S+ KB \(nothing was written; the output folder was left as it was\)\n")
    check(r.returncode == 1 and re.fullmatch(
        r"morvenak run: the analysis cannot be done: not enough memory: the run on 600 samples and 40 species of "
        r"big.csv " + phases, r.stderr) is not None, f"memory: {r.returncode} {r.stderr!r}")
    make_tables(d, "wide", abundances(2000, 300, 3), {"Main": ["ABC"[i % 3] for i in range(2000)]})
    r = morvenak(["--species", "wide.csv", "--labels", "wide.env.csv", "--main", "Main", "--max-memory", "1M",
                  "--output", "m"], d)
    m = re.fullmatch(r"morvenak run: the analysis cannot be done: not enough memory: the run on about (\d+) samples "
                     r"and 300 species of wide.csv \(told from the file's size, before reading it\) " + phases,
                     r.stderr)
    check(r.returncode == 1 and m is not None and abs(int(m.group(1)) - 2000) < 60,
          f"memory before reading: {r.returncode} {r.stderr!r}")
    os.remove(os.path.join(d, "wide.csv"))
    os.remove(os.path.join(d, "wide.env.csv"))
    check(sorted(os.listdir(d)) == before, f"memory: the folder holds {sorted(os.listdir(d))}")

    # An interrupt during the test ends the run and leaves nothing.
    p = subprocess.Popen([args.morvenak, "run"] + argv[:-1] + ["100000000", "--output", "i"], cwd=d,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 60
    while time.time() < deadline and not any(x.startswith(".i.tmp-") and
                                              os.path.exists(os.path.join(d, x, "Morvenak.out"))
                                              for x in os.listdir(d)):
        time.sleep(0.05)
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=120)
    check(p.returncode == 1 and err == f"morvenak run: warning: {few}\n"
          "morvenak run: interrupted; the output folder was left as it was\n",
          f"interrupt: {p.returncode} {err!r}")
    check(sorted(os.listdir(d)) == before, f"interrupt: the folder holds {sorted(os.listdir(d))}")


def wide_design():
    """60 samples by 520 species, one factor of 4 levels, the anova alone."""
    d = tempfile.mkdtemp(prefix="run_beyond_")
    folders.append(d)
    rows = abundances(60, 520, 11)
    groups = ["wxyz"[i % 4] for i in range(60)]
    make_tables(d, "wide", rows, {"G": groups})
    r = morvenak(["--species", "wide.csv", "--labels", "wide.env.csv", "--main", "G", "--task", "anova",
                  "--permutations", "9", "--seed", "3", "--output", "w"], d)
    check(r.returncode == 0, f"wide: status {r.returncode}: {r.stderr!r}")
    out = os.path.join(d, "w")
    check(sorted(os.listdir(out)) == ["Morvenak.out", "results.json", "results.tsv"], f"wide: {os.listdir(out)}")
    report = read(os.path.join(out, "Morvenak.out"))
    check("\n Options beyond the classic dialogue: --seed 3\n Data from the tables wide.csv and wide.env.csv: "
          "60 objects, 520 species; factors G (4 levels)\n\n" in report, f"wide: banner lines {report[:900]!r}")
    ssb, a = between_ss(rows, groups)
    sst = total_ss(rows)
    f = (ssb / (a - 1)) / ((sst - ssb) / (60 - a))
    table = report_rows(report)
    check(sorted(table) == ["Anova factor", "Total", "Within groups"] and
          table["Anova factor"][:2] == ["3", "56"] and table["Anova factor"][4] == f"{f:.5f}", f"wide: {table} {f}")
    j = json.loads(read(os.path.join(out, "results.json")))
    check(close(j["rows"][0]["F"], f) and j["beyond_limits"] is True and j["generator"] == {"name": "modern", "seed": 3}
          and j["files"]["scores"] is None, f"wide: results.json {j['rows'][0]} {j['generator']}")
    # An abundance no double holds: status 2, naming its place in the table.
    rows[5][7] = "1e999"
    make_tables(d, "huge", rows, {"G": groups})
    r = morvenak(["--species", "huge.csv", "--labels", "huge.env.csv", "--main", "G", "--output", "h"], d)
    check(r.returncode == 2 and r.stderr == 'morvenak run: huge.csv, line 7, column 9 (sp7): "1e999" is beyond the '
          "range of a double-precision number (about 1.8E308)\n" and not os.path.exists(os.path.join(d, "h")),
          f"huge value: {r.returncode} {r.stderr!r}")


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)
folders = []

nested_design()
wide_design()

if finish(folders):
    sys.exit(1)
print("run beyond the limits: ok")
