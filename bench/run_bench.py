#!/usr/bin/env python3
"""Times the whole program on synthetic designs, literal path against fast path.

For each case the design is generated (gen_design.py, fixed seed), then the
literal build and the fast build run on it one after the other, each in a
fresh copy of the input folder, and the script prints the wall time of each,
their ratio, and whether the two reports (Morvenak.out) and console texts are
identical once the figures of the "Computation time" lines are masked. It also
reports how many permuted statistics the fast build handed to the literal
products (through bench/count_literal.cpp, built here with the counting hook of
src/anova/fastperm.cpp, against the fast core library), and the machine the
figures come from.

Cases (name: n, p, factor levels, permutations):
  a: 501, 500, 3,4,4, 999      full capacity, three factor files
  b: 132, 178, 3,4,3, 9999     three factor files
  c:  20,  30, 4,     99999    one factor
  d:  60,  80, 3,4,   9999     two factor files

usage: run_bench.py [--literal build-literal/morvenak] [--fast build-fast/morvenak]
                    [--cases a,b,c,d] [--work DIR] [--fast-repeat N]
Exit status 1 when any pair of reports differs.
"""
import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CASES = {
    "a": dict(n=501, p=500, levels="3,4,4", nperm=999, seed=11),
    "b": dict(n=132, p=178, levels="3,4,3", nperm=9999, seed=12),
    "c": dict(n=20, p=30, levels="4", nperm=99999, seed=13),
    "d": dict(n=60, p=80, levels="3,4", nperm=9999, seed=14),
}

TIME = re.compile(r"(Computation time for [^:]*:).*?( sec\.)")


def masked(text):
    return TIME.sub(r"\1<TIME>\2", text)


def generate(name, design, work):
    folder = os.path.join(work, "case-" + name)
    if not os.path.isdir(folder):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_design.py"), folder,
                        "--n", str(design["n"]), "--p", str(design["p"]), "--levels", design["levels"],
                        "--seed", str(design["seed"]), "--nperm", str(design["nperm"])], check=True)
    return folder


def run(program, case, work):
    """Runs the program in a fresh copy of the case; returns seconds, report, console, stderr."""
    folder = tempfile.mkdtemp(dir=work)
    try:
        for name in os.listdir(case):
            shutil.copy(os.path.join(case, name), folder)
        with open(os.path.join(case, "answers.txt"), "rb") as answers:
            start = time.perf_counter()
            proc = subprocess.run([os.path.abspath(program)], cwd=folder, stdin=answers, capture_output=True)
            seconds = time.perf_counter() - start
        if proc.returncode != 0:
            raise SystemExit("%s failed on %s:\n%s" % (program, case, proc.stderr.decode("latin-1")))
        with open(os.path.join(folder, "Morvenak.out"), encoding="latin-1") as report:
            text = report.read()
        return seconds, masked(text), masked(proc.stdout.decode("latin-1")), proc.stderr.decode("latin-1")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def build_counter(fast):
    """The counting build (bench/CMakeLists.txt) in the fast build's tree, or None."""
    build = os.path.dirname(os.path.abspath(fast))
    command = ["cmake", "--build", build, "--target", "bench-count-literal"]
    if subprocess.run(command, stdout=subprocess.DEVNULL).returncode != 0:
        return None
    return os.path.join(build, "bench", "bench-count-literal")


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d logical cores, %s %s" % (model, os.cpu_count() or 1, platform.system(), platform.release())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--literal", default=os.path.join(ROOT, "build-literal", "morvenak"))
    parser.add_argument("--fast", default=os.path.join(ROOT, "build-fast", "morvenak"))
    parser.add_argument("--cases", default="a,b,c,d")
    parser.add_argument("--work", default=None, help="folder for the generated designs (kept)")
    parser.add_argument("--fast-repeat", type=int, default=3,
                        help="runs of the fast build per case; the median is shown")
    args = parser.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="morvenak-bench-")
    os.makedirs(work, exist_ok=True)
    counter = build_counter(args.fast)
    print("machine: " + machine())
    print("designs: " + work)
    header = "%-4s %4s %4s %-7s %6s %11s %9s %8s %9s %8s" % (
        "case", "n", "p", "levels", "nperm", "literal s", "fast s", "ratio", "identical", "literal")
    print(header)
    print("-" * len(header))
    all_same = True
    for name in args.cases.split(","):
        design = CASES[name]
        case = generate(name, design, work)
        t_lit, rep_lit, out_lit, _ = run(args.literal, case, work)
        fast_runs = [run(args.fast, case, work) for _ in range(max(1, args.fast_repeat))]
        t_fast = statistics.median(r[0] for r in fast_runs)
        same = all(r[1] == rep_lit and r[2] == out_lit for r in fast_runs)
        all_same = all_same and same
        literal_count = "-"
        if counter:
            _, rep_count, _, err = run(counter, case, work)
            found = re.search(r"literal evaluations: (\d+)", err)
            if found and rep_count == rep_lit:
                literal_count = found.group(1)
        print("%-4s %4d %4d %-7s %6d %11.2f %9.3f %8.1f %9s %8s" % (
            name, design["n"], design["p"], design["levels"], design["nperm"], t_lit, t_fast, t_lit / t_fast,
            "yes" if same else "NO", literal_count))
        sys.stdout.flush()
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
