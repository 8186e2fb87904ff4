#!/usr/bin/env python3
"""Writes a large synthetic nested design as plain tables, for the benchmark
of the path beyond the classic limits and for vegan on the same data.

OUT/Y.tsv        n rows of p non-negative integer abundances, tab-separated
OUT/factors.tsv  n rows of one label per factor (main, then nested), tab-separated

"Levels a,b,c": a main factor of a levels, b subgroups within each, c within
each of those; objects are dealt to the lowest cells in turn (object i to
cell i mod cells), so the cells differ in size by at most one. Abundances:
a count whose log-mean has an effect of every factor level and of the
species, from a fixed seed.

usage: gen_large.py OUT --n N --p P --levels A[,B[,C]] [--seed S] [--effect E]
"""
import argparse
import math
import os
import random


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--n", type=int, required=True)
    ap.add_argument("--p", type=int, required=True)
    ap.add_argument("--levels", required=True)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--effect", type=float, default=0.1)
    a = ap.parse_args()
    levels = [int(x) for x in a.levels.split(",")]
    rng = random.Random(a.seed)
    cells = 1
    for k in levels:
        cells *= k
    os.makedirs(a.out, exist_ok=True)
    # The path of each lowest cell, and an effect per species for each level of each factor.
    paths = []
    for c in range(cells):
        path, rest = [], c
        for k in reversed(levels):
            path.append(rest % k)
            rest //= k
        paths.append(list(reversed(path)))
    effects = []
    for depth in range(len(levels)):
        count = 1
        for k in levels[:depth + 1]:
            count *= k
        effects.append([[rng.gauss(0.0, a.effect / (depth + 1)) for _ in range(a.p)] for _ in range(count)])
    base = [rng.uniform(-1.0, 1.5) for _ in range(a.p)]
    with open(os.path.join(a.out, "factors.tsv"), "w") as f:
        for i in range(a.n):
            path = paths[i % cells]
            f.write("\t".join("f%d_%d" % (d + 1, path[d]) for d in range(len(levels))) + "\n")
    with open(os.path.join(a.out, "Y.tsv"), "w") as f:
        for i in range(a.n):
            path = paths[i % cells]
            keys, key = [], 0
            for d in range(len(levels)):
                key = key * levels[d] + path[d]
                keys.append(key)
            row = []
            for j in range(a.p):
                mu = base[j]
                for d in range(len(levels)):
                    mu += effects[d][keys[d]][j]
                lam = math.exp(mu)
                # A Poisson draw by inversion (lam is small).
                k, prob, u = 0, math.exp(-lam), rng.random()
                cum = prob
                while u > cum and k < 200:
                    k += 1
                    prob *= lam / k
                    cum += prob
                row.append(str(k))
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
