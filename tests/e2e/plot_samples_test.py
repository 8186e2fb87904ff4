#!/usr/bin/env python3
"""morvenak plot on the results folders of real runs (the three-level example, the dune
tables with Use nested in Management), read back as a reader's tools read them: the
PDF's text names every level with its parents ("A: A1 (6)") and the title the whole
hierarchy; --colour-by a column of numbers draws the least value's sample in the scale's
first colour and the greatest's in its last, with the bar's title, and a column of
labels each label's colour of the palette and its count in the legend; a column the
labels table lacks is refused naming the option and the column, and nothing is written.

usage: plot_samples_test.py --morvenak PROGRAM --data TOOLS_TEST_DATA --examples EXAMPLES
"""
import argparse
import csv
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from collections import Counter

from plot_figures_test import PALETTE

MORVENAK = DATA = EXAMPLES = None
# The continuous scale: viridis at nine even stops, linear between them.
STOPS = ["440154", "472d7b", "3b528b", "2c728e", "21908c", "27ad81", "5dc863", "aadc32", "fde725"]


def scale_colour(t):
    at = t * (len(STOPS) - 1)
    k = min(int(at), len(STOPS) - 2)
    u = at - k
    a, b = bytes.fromhex(STOPS[k]), bytes.fromhex(STOPS[k + 1])
    return bytes(math.floor(x + (y - x) * u + 0.5) for x, y in zip(a, b)).hex()


def svg_fills(path):
    """The colours the SVG fills shapes with, as hex: every marker's, hidden or not."""
    with open(path) as f:
        text = f.read()
    fills = set()
    for r, g, b in re.findall(r"fill:rgb\(([\d.]+)%,([\d.]+)%,([\d.]+)%\)", text):
        fills.add(bytes(round(float(v) * 255 / 100) for v in (r, g, b)).hex())
    return fills


class Runs(unittest.TestCase):
    def run_program(self, *argv):
        d = tempfile.mkdtemp(prefix="plot-samples-")
        self.addCleanup(shutil.rmtree, d, True)
        out = os.path.join(d, "results")
        p = subprocess.run([MORVENAK, "run", *argv, "--permutations", "0", "--quiet", "--output", out],
                           capture_output=True, text=True, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        return out

    def plot(self, *argv, status=0):
        p = subprocess.run([MORVENAK, "plot", *argv], capture_output=True, text=True, timeout=300)
        self.assertEqual(p.returncode, status, p.stderr)
        return p

    def pdf_text(self, path):
        p = subprocess.run(["pdftotext", path, "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stdout

    def dune(self):
        dune = os.path.join(DATA, "dune")
        labels = os.path.join(dune, "dune.env.cells.csv")
        res = self.run_program("--species", os.path.join(dune, "dune.csv"), "--labels", labels,
                               "--main", "Management", "--nested", "Use")
        with open(labels, newline="") as f:
            rows = list(csv.DictReader(f))
        return res, rows

    def test_the_pdf_names_every_level_with_its_parents(self):
        three = os.path.join(EXAMPLES, "three_level")
        res = self.run_program("--species", os.path.join(three, "quadrats.csv"), "--labels",
                               os.path.join(three, "labels.csv"), "--main", "Region", "--nested", "Site",
                               "--nested", "Transect")
        with open(os.path.join(three, "labels.csv"), newline="") as f:
            rows = list(csv.DictReader(f))
        self.plot(res, "--format", "pdf")
        sites = Counter(f"{r['Region']}: {r['Site']}" for r in rows)
        transects = Counter(f"{r['Region']}: {r['Site']}: {r['Transect']}" for r in rows)
        site_text = self.pdf_text(os.path.join(res, "figures", "ordination-2.pdf"))
        self.assertIn("Site within Region explains", site_text)
        for name, n in sites.items():
            self.assertIn(f"{name} ({n})", site_text)  # the legend
        # Twelve transects under their six sites: the legend names each within its site,
        # and each centroid's label names its region and site.
        transect_text = self.pdf_text(os.path.join(res, "figures", "ordination-3.pdf"))
        self.assertIn("Transect within Site within Region explains", transect_text)
        for name, n in transects.items():
            self.assertIn(f"{name} ({n})", transect_text)
        labelled = [t for t in transects if t + "\n" in transect_text]
        self.assertGreater(len(labelled), 0)
        # 36 samples: every sample named, but those the note says were left out.
        m = re.search(r"(\d+) of 36 sample labels left out", transect_text)
        missing = [r["quadrat"] for r in rows if r["quadrat"] not in transect_text]
        self.assertEqual(len(missing), int(m.group(1)) if m else 0, missing)

    def test_colour_by_a_column_of_numbers_and_of_labels(self):
        res, rows = self.dune()
        a1 = [float(r["A1"]) for r in rows]
        lo, hi = min(a1), max(a1)
        self.plot(res, "--format", "svg,pdf", "--colour-by", "A1", "-o", os.path.join(res, "a1"))
        for k in (1, 2, 3):
            fills = svg_fills(os.path.join(res, "a1", f"ordination-{k}.svg"))
            want = {scale_colour((v - lo) / (hi - lo)) for v in a1}
            self.assertEqual(want - fills, set(), f"ordination {k}: samples not in their value's colour")
            self.assertEqual(fills & set(PALETTE), set(), f"ordination {k}: no group's colour")
            words = self.pdf_text(os.path.join(res, "a1", f"ordination-{k}.pdf")).split()
            self.assertIn("A1", words)

        self.plot(res, "--format", "svg,pdf", "--colour-by", "Use", "-o", os.path.join(res, "use"))
        uses = Counter(r["Use"] for r in rows)
        for k in (1, 2, 3):
            fills = svg_fills(os.path.join(res, "use", f"ordination-{k}.svg"))
            self.assertEqual(fills & set(PALETTE), set(PALETTE[:len(uses)]), f"ordination {k}")
            text = self.pdf_text(os.path.join(res, "use", f"ordination-{k}.pdf"))
            for use, n in uses.items():
                self.assertIn(f"{use} ({n})", text)

    def test_a_column_the_labels_lack_is_refused_by_name(self):
        res, _ = self.dune()
        for option in ("--colour-by", "--shape-by"):
            with self.subTest(option=option):
                p = self.plot(res, option, "Moist", "-o", os.path.join(res, "none"), status=2)
                self.assertEqual(p.stderr, f'morvenak-plot: {option} Moist: the labels table has no such column '
                                           '(its columns: "", "A1", "Moisture", "Management", "Use", "Manure", '
                                           '"Cell")\n')
                self.assertFalse(os.path.exists(os.path.join(res, "none")))


def main():
    global MORVENAK, DATA, EXAMPLES
    parser = argparse.ArgumentParser()
    parser.add_argument("--morvenak", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--examples", required=True)
    args, rest = parser.parse_known_args()
    MORVENAK, DATA, EXAMPLES = (os.path.abspath(a) for a in (args.morvenak, args.data, args.examples))
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
