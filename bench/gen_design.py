#!/usr/bin/env python3
"""Writes a synthetic nested design for the morvenak benchmark.

The design has n objects, p species and one to three nested factors. Factor 1
has L1 levels, each level of factor k is split into Lk+1 levels of factor k+1,
and the objects are spread over the lowest cells as evenly as n allows (the
first n mod cells cells get one object more). Each factor file holds
orthogonal contrasts with integer codes: inside every cell of the parent
factor, sub-level j is compared with the union of sub-levels 1..j-1, with the
weights that make the column sum to exactly 0. Such codes pass the program's
coding checks (sums and cross-products exactly 0, no collinearity, nested
files orthogonal to their parents) and each nested file has more dummy
variables than its parent.

The species are non-negative integer abundances: a Poisson count whose mean
depends on the cell of every factor (so each factor has an effect of its own)
plus species-level noise, reproducible from the seed.

Output folder: Y.txt, F1.txt [F2.txt F3.txt], files.txt, answers.txt (the
console answers: file of file names, task 1, the transformation, nperm, check
coding 1).

usage: gen_design.py OUT --n N --p P --levels L1[,L2[,L3]] --seed S --nperm K
                     [--transform T] [--effect E]

--effect scales the cell effects (standard deviation of the log-mean shift of
factor 1; factor k gets E / k). Around 0.05 the factors are near the limit of
detection, so the permuted F* fall on both sides of the observed F.
"""
import argparse
import math
import os
import random


def cells_of(n, levels):
    """Cell path (level of factor 1, 2, ...) of every object, 0-based."""
    total = 1
    for count in levels:
        total *= count
    if total > n:
        raise SystemExit("more lowest-level cells (%d) than objects (%d)" % (total, n))
    sizes = [n // total + (1 if c < n % total else 0) for c in range(total)]
    paths = []
    for cell, size in enumerate(sizes):
        path, rest = [], cell
        for count in reversed(levels):
            path.append(rest % count)
            rest //= count
        paths.extend([tuple(reversed(path))] * size)
    return paths


def contrasts(paths, depth, levels):
    """Columns of factor `depth` (0-based): Helmert contrasts of its levels
    inside every cell of the parent factor, weighted by the cell sizes."""
    n = len(paths)
    parents = sorted(set(path[:depth] for path in paths))
    columns = []
    for parent in parents:
        members = [i for i in range(n) if paths[i][:depth] == parent]
        size = [0] * levels[depth]
        for i in members:
            size[paths[i][depth]] += 1
        for j in range(1, levels[depth]):
            before = sum(size[:j])
            column = [0] * n
            for i in members:
                level = paths[i][depth]
                if level < j:
                    column[i] = size[j]
                elif level == j:
                    column[i] = -before
            columns.append(column)
    return columns


def poisson(rng, mean):
    """Knuth's method for small means, a rounded normal for large ones."""
    if mean > 30.0:
        return max(0, int(round(rng.gauss(mean, math.sqrt(mean)))))
    limit, k, prod = math.exp(-mean), 0, rng.random()
    while prod > limit:
        k += 1
        prod *= rng.random()
    return k


def write_matrix(path, rows, fmt):
    with open(path, "w") as out:
        out.write("%d %d\n" % (len(rows), len(rows[0]) if rows else 0))
        for row in rows:
            out.write(" ".join(fmt(v) for v in row) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--n", type=int, required=True)
    parser.add_argument("--p", type=int, required=True)
    parser.add_argument("--levels", required=True, help="L1[,L2[,L3]]")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--nperm", type=int, default=999)
    parser.add_argument("--transform", type=int, default=5)
    parser.add_argument("--effect", type=float, default=0.05)
    args = parser.parse_args()

    levels = [int(v) for v in args.levels.split(",")]
    if not 1 <= len(levels) <= 3 or min(levels) < 2:
        raise SystemExit("--levels: one to three numbers, each at least 2")
    rng = random.Random(args.seed)
    paths = cells_of(args.n, levels)
    files = []
    for depth in range(len(levels)):
        columns = contrasts(paths, depth, levels)
        files.append([[column[i] for column in columns] for i in range(args.n)])
    mtot = sum(len(f[0]) for f in files)
    if mtot > 200 or mtot >= args.n:
        raise SystemExit("%d dummy variables: the program takes at most 200 and fewer than n" % mtot)

    # Cell effects on a log scale, one set per factor and species.
    effects = []
    for depth, count in enumerate(levels):
        cells = set(path[: depth + 1] for path in paths)
        effects.append({c: [rng.gauss(0.0, args.effect / (depth + 1)) for _ in range(args.p)] for c in cells})
    base = [rng.uniform(-1.0, 2.0) for _ in range(args.p)]
    y = []
    for path in paths:
        row = []
        for j in range(args.p):
            eta = base[j] + sum(effects[d][path[: d + 1]][j] for d in range(len(levels)))
            row.append(poisson(rng, math.exp(eta + rng.gauss(0.0, 0.5))))
        y.append(row)

    os.makedirs(args.out, exist_ok=True)
    write_matrix(os.path.join(args.out, "Y.txt"), y, str)
    names = []
    for k, rows in enumerate(files, start=1):
        names.append("F%d.txt" % k)
        write_matrix(os.path.join(args.out, names[-1]), rows, str)
    with open(os.path.join(args.out, "files.txt"), "w") as out:
        out.write("%d\nY.txt\n%s\n" % (1 + len(files), "\n".join(names)))
    with open(os.path.join(args.out, "answers.txt"), "w") as out:
        out.write("files.txt\n1\n%d\n%d\n1\n" % (args.transform, args.nperm))


if __name__ == "__main__":
    main()
