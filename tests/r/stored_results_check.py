#!/usr/bin/env python3
"""The R package's stored results against the engine and the classic reports.

For each case of r/tests/testthat/results/cases.tsv:
  - RESULTS/CASE.tsv must be, byte for byte, what morvenak_api_results writes
    for the dune tables with the case's options (the engine's table as
    results.tsv lays it out, shortest round-trip decimals);
  - when the case names a classic case, RESULTS/CASE.report.tsv must hold the
    table rows of tests/cases/real/REPORT/expected/Morvenak.out, as printed.
With --write, the stored files are written instead of checked.

usage: stored_results_check.py TOOL ROOT [--write]
"""
import csv
import re
import subprocess
import sys
from pathlib import Path

ROW = re.compile(r"^ (Anova factor|Main factor|Nested factor|1st nested factor|2nd nested factor|"
                 r"Within groups|Within subgroups|Total)\s+(\d+)(.*)$")


def report_rows(report: Path) -> str:
    """The anova table of a classic report: label, df1, df2, SS, MS, F, P, as printed."""
    lines = ["row\tdf1\tdf2\tSS\tMS\tF\tP"]
    for line in report.read_text().splitlines():
        m = ROW.match(line)
        if not m:
            continue
        label, df1, rest = m.group(1), m.group(2), m.group(3).split()
        rest = [v for v in rest if v != "*"]
        if label.startswith(("Within", "Total")):
            df2, numbers = "", rest
        else:
            df2, numbers = rest[0], rest[1:]
        numbers += [""] * (4 - len(numbers))
        lines.append("\t".join([label, df1, df2] + numbers))
    if len(lines) < 3:
        raise SystemExit(f"no anova table in {report}")
    return "\n".join(lines) + "\n"


def main() -> int:
    tool, root = sys.argv[1], Path(sys.argv[2])
    write = "--write" in sys.argv[3:]
    results = root / "r/tests/testthat/results"
    dune = root / "tests/tools/data/dune"
    failed = 0
    with open(results / "cases.tsv", newline="") as f:
        cases = list(csv.DictReader(f, delimiter="\t"))
    if not cases:
        raise SystemExit("no cases in cases.tsv")
    for case in cases:
        wanted = {}
        how = case["transform"] + (":" + case["distance"] if case.get("distance") else "")
        run = subprocess.run([tool, str(dune / "dune.csv"), str(dune / "dune.env.csv"), how,
                              case["permutations"], case["seed"] or "1", *case["factors"].split()],
                             capture_output=True, text=True, check=True)
        wanted[results / f"{case['case']}.tsv"] = run.stdout
        if case["report"]:
            wanted[results / f"{case['case']}.report.tsv"] = report_rows(
                root / "tests/cases/real" / case["report"] / "expected/Morvenak.out")
        for path, text in wanted.items():
            if write:
                path.write_text(text)
                print(f"wrote {path}")
            elif not path.exists() or path.read_text() != text:
                print(f"FAIL: {path} differs from what the engine and the reports give now:\n{text}")
                failed += 1
            else:
                print(f"ok: {path.name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
