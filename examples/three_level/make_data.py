#!/usr/bin/env python3
"""Writes the synthetic three-level example: 3 regions, 2 sites per region,
2 transects per site, 3 quadrats per transect (36 quadrats), 15 species whose
counts depend on region, site and transect. Seeded, so it always writes the
same two tables."""
import math, os, random

rnd = random.Random(1)
here = os.path.dirname(os.path.abspath(__file__))
species = ["sp%02d" % k for k in range(1, 16)]
region_effect = {r: [rnd.uniform(0, 2) for _ in species] for r in "ABC"}
rows, labels = [], []
for r in "ABC":
    for s in (1, 2):
        site_effect = [rnd.uniform(0, 1) for _ in species]
        for t in (1, 2):
            transect_effect = [rnd.uniform(0, 0.5) for _ in species]
            for q in (1, 2, 3):
                name = "%s%d-%d-%d" % (r, s, t, q)
                mean = [math.exp(a + b + c) - 1 for a, b, c in zip(region_effect[r], site_effect, transect_effect)]
                rows.append([name] + [str(max(0, int(rnd.gauss(m, 1 + m / 2)))) for m in mean])
                labels.append([name, r, "%s%d" % (r, s), "%s%d-%d" % (r, s, t)])
with open(os.path.join(here, "quadrats.csv"), "w") as f:
    f.write(",".join(["quadrat"] + species) + "\n")
    f.writelines(",".join(row) + "\n" for row in rows)
with open(os.path.join(here, "labels.csv"), "w") as f:
    f.write("quadrat,Region,Site,Transect\n")
    f.writelines(",".join(row) + "\n" for row in labels)
