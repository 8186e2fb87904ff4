#!/usr/bin/env python3
"""Threads and processes never change a result: `morvenak run` on the same designs
with 1 and 2 threads, and (given --mpirun) as 1 process and as the processes of an
MPI launcher, writes the same files byte for byte. Only the fields that record
timings and the thread and process counts are masked: the computation time lines
of the report and the score file, and in results.json timings.*, options.threads and execution.*.

Under the launcher, a run whose output folder is taken must end every process with
the first one's status and message, and leave nothing behind.

The designs, written by this script: nested in three levels within the classic
limits (the fast path of the classic engine), the same with the main factor's
subgroups as units (arrangements drawn, then enumerated), a design beyond the
classic limits (the grouped path), Bray-Curtis with pairwise tests and the test of
dispersion, and mixed designs whose rows
permute different units, balanced and not.

usage: processes_test.py --morvenak BUILD/morvenak [--mpirun "mpirun -np 3 ..."]
Exit status 0 when every check passes, 1 when one fails.
"""
import argparse
import json
import os
import shlex
import time
import signal
import shutil
import subprocess
import sys
import tempfile

from checks import check, failures, masked as masked_times

def design(folder, n, p, levels, seed):
    """A species table of counts with an effect of every level, and its labels."""
    state = seed

    def rand(m):
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        return (state >> 33) % m

    main, sub, cell = levels
    rows, labels = [], []
    for i in range(n):
        a, b, c = i % main, (i // main) % sub, (i // (main * sub)) % cell
        rows.append([rand(6) + (4 if j % main == a else 0) + (2 if j % sub == b else 0) + (1 if j % 2 == c else 0)
                     for j in range(p)])
        labels.append((f"s{i + 1}", f"M{a}", f"S{b}", f"C{c}"))
    with open(os.path.join(folder, "species.csv"), "w") as f:
        f.write("sample," + ",".join(f"sp{j + 1}" for j in range(p)) + "\n")
        for i, r in enumerate(rows):
            f.write(f"s{i + 1}," + ",".join(map(str, r)) + "\n")
    with open(os.path.join(folder, "labels.csv"), "w") as f:
        f.write("sample,Main,Sub,Cell\n")
        for row in labels:
            f.write(",".join(row) + "\n")


def masked(name, data):
    """A file of the results with the timings and the thread and process counts masked."""
    if name == "results.json":
        j = json.loads(data)
        j["timings"] = "<TIMINGS>"
        j["options"]["threads"] = "<THREADS>"
        j["execution"] = "<EXECUTION>"
        return json.dumps(j, indent=2, sort_keys=True).encode()
    if name.endswith(("Morvenak.out", "FittedSc.out")):
        return masked_times(data)
    return data


def outputs(folder):
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            with open(path, "rb") as f:
                files[rel] = masked(rel, f.read())
    return files


def run(work, launcher, options, threads):
    cmd = launcher + [args.morvenak, "run", "--species", "species.csv", "--labels", "labels.csv",
                      "--output", "results", "--threads", str(threads), "--quiet"] + options
    p = subprocess.run(cmd, cwd=work, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    if p.returncode != 0:
        print(" ".join(cmd), "\n", p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace"))
    return p


parser = argparse.ArgumentParser()
parser.add_argument("--morvenak", required=True)
parser.add_argument("--mpirun", help="the launcher of several processes, e.g. 'mpirun -np 3'")
args = parser.parse_args()
args.morvenak = os.path.abspath(args.morvenak)

nested = ["--main", "Main", "--nested", "Sub", "--nested", "Cell", "--transform", "hellinger"]
cases = [
    ("nested", (120, 40, (4, 3, 2)), nested + ["--permutations", "999"]),
    ("subgroups drawn", (120, 40, (4, 3, 2)), nested + ["--permutations", "999", "--main-units", "subgroups"]),
    ("subgroups enumerated", (48, 20, (2, 3, 2)),
     nested + ["--permutations", "99", "--main-units", "subgroups", "--exact"]),
    ("beyond the limits", (620, 30, (5, 4, 2)), nested + ["--permutations", "499"]),
    ("Bray-Curtis", (120, 40, (4, 3, 2)), nested + ["--permutations", "499", "--distance", "bray", "--pairwise", "Main",
                                                    "--pairwise", "Sub", "--dispersion", "Main"]),
    # A mixed design: Main over whole levels of Sub within Main, Cell within the levels of Sub.
    ("mixed", (120, 40, (4, 3, 2)),
     ["--model", "Main / Sub + Cell", "--random", "Sub", "--transform", "hellinger", "--permutations", "499"]),
    # Unbalanced: Cell over a combination of mean squares.
    ("mixed, unbalanced", (117, 40, (4, 3, 2)),
     ["--model", "Main / Sub + Cell", "--random", "Sub", "--transform", "hellinger", "--permutations", "499"]),
]

top = tempfile.mkdtemp(prefix="processes_e2e_")
try:
    for k, (name, (n, p, levels), options) in enumerate(cases):
        work = os.path.join(top, f"case{k}")
        os.mkdir(work)
        design(work, n, p, levels, seed=k + 1)
        runs = [("1 thread", [], 1), ("2 threads", [], 2)]
        if args.mpirun:
            runs.append(("3 processes", shlex.split(args.mpirun), 1))
        results = {}
        # Every run in the same folder with the same output name (both are recorded),
        # the output moved away before the next run.
        for r, (label, launcher, threads) in enumerate(runs):
            proc = run(work, launcher, options, threads)
            check(proc.returncode == 0, f"{name}, {label}: status {proc.returncode}")
            # Only the output is left: no process wrote anything else beside it.
            left = sorted(os.listdir(work))
            check(left == ["labels.csv", "results", "species.csv"], f"{name}, {label}: left {left}")
            if proc.returncode != 0:
                continue
            out = os.path.join(top, f"case{k}-run{r}")
            os.rename(os.path.join(work, "results"), out)
            results[label] = outputs(out)
            with open(os.path.join(out, "results.json")) as f:
                execution = json.load(f)["execution"]
            expected = 3 if launcher else 1
            check(execution["processes"] == expected,
                  f"{name}, {label}: {execution['processes']} processes recorded, not {expected}")
            if not launcher:
                check(execution["threads"] == threads, f"{name}, {label}: {execution['threads']} threads recorded")
        first = results.get("1 thread")
        for label, files in results.items():
            if first is None or label == "1 thread":
                continue
            check(sorted(files) == sorted(first), f"{name}, {label}: other files {sorted(files)}")
            for rel in sorted(set(files) & set(first)):
                check(files[rel] == first[rel], f"{name}, {label}: {rel} differs from the 1-thread run")
        if first is not None and name.startswith("mixed"):
            table = first["results.tsv"].decode()
            over = "MS(Sub within Main) + " if "unbalanced" in name else "\tMS(Sub within Main)\t"
            check(over in table and "objects within the levels of Sub within Main" in table,
                  f"{name}: the table has its denominators and units: {table}")
        elif first is not None:
            report = first["Morvenak.out"].decode()
            check(" Main factor " in report and " Within subgroups " in report, f"{name}: the report has its table")
    # A process that cannot start (the output folder is taken) ends every process
    # before the analysis, with its status and message, and none leaves a folder in
    # the temporary folder.
    if args.mpirun:
        work = os.path.join(top, "case0")
        os.mkdir(os.path.join(work, "results"))
        with open(os.path.join(work, "results", "kept.txt"), "w") as f:
            f.write("kept\n")
        tmp = os.path.join(top, "tmp")
        os.mkdir(tmp)
        proc = subprocess.run(shlex.split(args.mpirun) + [
            args.morvenak, "run", "--species", "species.csv", "--labels", "labels.csv", "--output", "results",
            "--quiet"] + cases[0][2], cwd=work, stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
            env=dict(os.environ, TMPDIR=tmp))
        err = proc.stderr.decode(errors="replace")
        check(proc.returncode == 2, f"taken output folder: status {proc.returncode}")
        check("morvenak run: results: the output folder exists and is not empty" in err, f"taken output folder: {err}")
        check("(process " not in err, f"taken output folder: another process spoke: {err}")
        with open(os.path.join(work, "results", "kept.txt")) as f:
            check(f.read() == "kept\n", "taken output folder: its file changed")
        litter = [name for name in os.listdir(tmp) if name.startswith("morvenak-process-")]
        check(not litter, f"taken output folder: left in the temporary folder: {litter}")
        # The launcher interrupted while the processes share the test: status 1, nothing
        # beside the output, nothing in the temporary folder.
        slow = os.path.join(top, "slow")
        os.mkdir(slow)
        design(slow, 60, 20, (3, 2, 2), seed=9)
        launched = subprocess.Popen(shlex.split(args.mpirun) + [
            args.morvenak, "run", "--species", "species.csv", "--labels", "labels.csv", "--output", "results",
            "--quiet"] + nested + ["--permutations", "2000000000"], cwd=slow, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, TMPDIR=tmp))
        deadline = time.time() + 60
        while time.time() < deadline and not any(x.startswith(".results.tmp-") for x in os.listdir(slow)):
            time.sleep(0.1)
        time.sleep(1.0)
        launched.send_signal(signal.SIGINT)
        try:
            _, err = launched.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            launched.kill()
            _, err = launched.communicate()
        check(launched.returncode != 0, "interrupted launcher: status 0")
        left = sorted(os.listdir(slow))
        check(left == ["labels.csv", "species.csv"], f"interrupted launcher: left {left}: {err[-400:]!r}")
        litter = [name for name in os.listdir(tmp) if name.startswith("morvenak-process-")]
        check(not litter, f"interrupted launcher: left in the temporary folder: {litter}")
        # The help, once.
        proc = subprocess.run(shlex.split(args.mpirun) + [args.morvenak, "run", "--help"], cwd=work,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        out = proc.stdout.decode(errors="replace")
        check(proc.returncode == 0 and out.count("--species") >= 1 and out.count("Example (the dune") == 1,
              f"help: status {proc.returncode}, {out.count('Example (the dune')} copies")
finally:
    shutil.rmtree(top, ignore_errors=True)

print(f"processes_test: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
