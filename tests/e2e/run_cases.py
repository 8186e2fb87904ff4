#!/usr/bin/env python3
"""Runs end-to-end cases against the built program.

A case is a folder with in/ (files copied into a fresh working folder),
answers.txt (standard input) and expected/ (Morvenak.out and FittedSc.out
when written, stdout.txt, stderr.txt, status: the exit status itself). Files that
exist in in/ before the run must come out unchanged. Before comparison both
sides are masked where two correct builds may differ: the four banner lines
after the title, the citation line of the transformation menu, the figures of
"Computation time for ...:" lines, and the diagnostics of a fatal error after
its "apparent state" line.

usage: run_cases.py --cmd PROGRAM CASE_OR_GROUP... [--record]
--record writes expected/ from the program's masked output, for a new case
whose every line has then to be checked by eye before it is committed.
"""
import argparse, difflib, filecmp, os, re, shutil, subprocess, sys, tempfile

OUTPUTS = ["Morvenak.out", "FittedSc.out"]
TIME = re.compile(r"(Computation time for [^:]*:).*?( sec\.)")
TITLE_END = " plus 0, 1, or 2 nested factors)."
MENU = " Transform species abundance data"


def mask(text):
    lines, out, i = text.split("\n"), [], 0
    while i < len(lines):
        line = lines[i]
        out.append(TIME.sub(r"\1<TIME>\2", line))
        if line == TITLE_END:
            if i + 1 < len(lines):
                out.append(lines[i + 1])
            out.extend("<AUTHOR>" for k in range(4) if i + 2 + k < len(lines))
            i += 6
            continue
        if line == MENU and i + 1 < len(lines):
            out.append("<CITATION>")
            i += 2
            continue
        i += 1
    return "\n".join(out)


def mask_stderr(text):
    lines = text.split("\n")
    for k, line in enumerate(lines):
        if k >= 1 and line.startswith("apparent state: unit "):
            return "\n".join(lines[: k + 1]) + "\n<DIAGNOSTICS>"
    return text


def run_case(cmd, case):
    work = tempfile.mkdtemp(prefix="morvenak-case-")
    try:
        given = os.path.join(case, "in")
        names = sorted(os.listdir(given)) if os.path.isdir(given) else []
        for name in names:
            shutil.copy(os.path.join(given, name), work)
        answers = os.path.join(case, "answers.txt")
        stdin = open(answers, "rb") if os.path.exists(answers) else subprocess.DEVNULL
        try:
            proc = subprocess.run([cmd], cwd=work, stdin=stdin, capture_output=True, timeout=600)
        finally:
            if stdin is not subprocess.DEVNULL:
                stdin.close()
        got = {
            "stdout.txt": mask(proc.stdout.decode("latin-1")),
            "stderr.txt": mask_stderr(proc.stderr.decode("latin-1")),
            "status": str(proc.returncode),
        }
        problems = []
        for name in OUTPUTS:
            path = os.path.join(work, name)
            if name in names:
                if not filecmp.cmp(path, os.path.join(given, name), shallow=False):
                    problems.append((name + " (existing file changed)", "", ""))
            elif os.path.exists(path):
                got[name] = mask(open(path, encoding="latin-1").read())
        return got, problems
    finally:
        shutil.rmtree(work, ignore_errors=True)


def collect(path, cases):
    if not os.path.isdir(path):
        return
    if os.path.exists(os.path.join(path, "answers.txt")):
        cases.append(path)
        return
    for name in sorted(os.listdir(path)):
        if os.path.isdir(os.path.join(path, name)):
            collect(os.path.join(path, name), cases)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cmd", required=True)
    ap.add_argument("--record", action="store_true")
    ap.add_argument("cases", nargs="+")
    args = ap.parse_args()
    cases = []
    for c in args.cases:
        collect(c, cases)
    failed = 0
    for case in cases:
        got, problems = run_case(os.path.abspath(args.cmd), case)
        expected_dir = os.path.join(case, "expected")
        if args.record:
            shutil.rmtree(expected_dir, ignore_errors=True)
            os.makedirs(expected_dir)
            for name, text in got.items():
                with open(os.path.join(expected_dir, name), "w", encoding="latin-1") as f:
                    f.write(text)
            continue
        for name in sorted(set(got) | set(os.listdir(expected_dir))):
            path = os.path.join(expected_dir, name)
            want = open(path, encoding="latin-1").read() if os.path.exists(path) else None
            if want != got.get(name):
                problems.append((name, want, got.get(name)))
        if problems:
            failed += 1
            print("FAIL %s: %s" % (os.path.relpath(case), ", ".join(p[0] for p in problems)))
            for name, want, have in problems:
                diff = difflib.unified_diff((want or "<absent>\n").splitlines(), (have or "<absent>\n").splitlines(),
                                            "expected/" + name, "got/" + name, lineterm="", n=1)
                print("\n".join(list(diff)[:60]))
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
