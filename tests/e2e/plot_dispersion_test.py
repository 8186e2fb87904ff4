#!/usr/bin/env python3
"""morvenak-plot on the results of real runs that tested dispersion (the dune tables,
Use nested in Management; Euclidean, and Bray-Curtis about spatial medians): the figure
of the test and that of Management's subgroups are drawn in every format asked, beside
the ordinations. Each SVG is read
back: every unit of results.json is one marker of its group's colour, all on one linear
scale of distance, and each group's box, median and whiskers lie where R's boxplot rule
(Tukey's hinges, whiskers to the last unit within 1.5 times their spread) puts them on
that scale; the PDF's text holds the title, the test's line as results.json gives it and
every group's name. A malformed dispersion section ends with status 2 and writes
nothing.

usage: plot_dispersion_test.py --plot PROGRAM --morvenak PROGRAM --data TOOLS_TEST_DATA
"""
import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

PLOT = MORVENAK = DATA = None
# Cairo keeps coordinates in 1/256 of a point.
NEAR = 0.01
PALETTE = ["e69f00", "56b4e9", "009e73", "cc79a7", "0072b2", "d55e00", "f0e442"]


def svg_colour(style, key):
    """The #rrggbb of cairo's "fill:rgb(90.196078%,62.352941%,0%)" in a style."""
    m = re.search(key + r":rgb\(([\d.]+)%,([\d.]+)%,([\d.]+)%\)", style)
    return "".join(f"{round(float(c) * 2.55):02x}" for c in m.groups()) if m else None


def read_svg(path):
    """The markers (colour, centre y), boxes (colour, top, bottom) and the lines of the
    box plots (black medians, grey whiskers and staples) of a cairo SVG."""
    markers, boxes, medians, whiskers = [], [], [], []
    with open(path) as f:
        svg = f.read()
    for style, d in re.findall(r'<path style="([^"]*)" d="([^"]*)"', svg):
        xy = [float(v) for v in re.findall(r"-?[\d.]+", d)]
        fill = svg_colour(style, "fill")
        if fill and "fill-opacity:0.25" in style:
            boxes.append((fill, xy[1], xy[5]))  # the rectangle's top and bottom
        elif fill and "stroke-width:0.5" in style and " C " in d:
            markers.append((fill, xy[1]))  # an arc starts at its right, level with its centre
        elif "stroke-width:2;" in style and svg_colour(style, "stroke") == "000000":
            medians.append(xy[1])
        elif svg_colour(style, "stroke") == "333333" and xy[0] == xy[2]:
            whiskers.append((xy[0], xy[1], xy[3]))  # from the box out to the end
    return markers, boxes, medians, whiskers


def box_rule(values):
    """R's fivenum and boxplot.stats(coef = 1.5) of the values."""
    x, n = sorted(values), len(values)
    n4 = math.floor((n + 3) / 2) / 2
    five = [0.5 * (x[math.floor(d) - 1] + x[math.ceil(d) - 1]) for d in (1, n4, (n + 1) / 2, n + 1 - n4, n)]
    reach = 1.5 * (five[3] - five[1])
    inside = [v for v in x if five[1] - reach <= v <= five[3] + reach]
    return [min(inside), five[1], five[2], five[3], max(inside)]


def shown(v):
    """Three significant digits, as the figure's line of the test gives them."""
    s = f"{v:.{max(0, 2 - math.floor(math.log10(abs(v))))}f}" if v else "0"
    return s.rstrip("0").rstrip(".") if "." in s else s


class Dispersion(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="plot-dispersion-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def run_dune(self, name, *extra):
        dune = os.path.join(DATA, "dune")
        p = subprocess.run([MORVENAK, "run", "--quiet", "--species", os.path.join(dune, "dune.csv"), "--labels",
                            os.path.join(dune, "dune.env.csv"), "--main", "Management", "--nested", "Use",
                            "--permutations", "199", "--output", name] + list(extra),
                           cwd=self.work, capture_output=True, text=True, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(os.path.join(self.work, name, "results.json")) as f:
            return json.load(f)["dispersion"]

    def plot(self, *argv):
        return subprocess.run([PLOT] + list(argv), cwd=self.work, capture_output=True, text=True, timeout=120)

    def check_figure(self, base, d, title, y_title):
        """base.svg draws the test d of results.json; base.pdf names it."""
        markers, boxes, medians, whiskers = read_svg(base + ".svg")
        parents = list(dict.fromkeys(g["within"] for g in d["levels"] if g["within"]))
        colour = [PALETTE[parents.index(g["within"]) if parents else k % len(PALETTE)]
                  for k, g in enumerate(d["levels"])]
        groups = [(g["within"], g["level"]) for g in d["levels"]]
        values = [[u["distance"] for u in d["samples"] if (u["within"], u["level"]) == grp] for grp in groups]
        self.assertEqual(len(markers), len(d["samples"]))
        # One scale: a marker's y is a + b * distance, a and b from the extreme units.
        all_d = [u["distance"] for u in d["samples"]]
        all_y = [y for _, y in markers]
        b = (max(all_y) - min(all_y)) / (min(all_d) - max(all_d))
        a = max(all_y) - b * min(all_d)
        for c in set(colour):
            mine = sorted(v for k, vs in enumerate(values) if colour[k] == c for v in vs)
            ys = sorted((y for col, y in markers if col == c), reverse=True)
            self.assertEqual(len(ys), len(mine), c)
            for v, y in zip(mine, ys):
                self.assertAlmostEqual(y, a + b * v, delta=NEAR)
        # The groups with units in order: their boxes (none drawn of no height), medians
        # and whiskers.
        drawn = [k for k, vs in enumerate(values) if vs]
        tall = [k for k in drawn if box_rule(values[k])[1] != box_rule(values[k])[3]]
        self.assertEqual(len(boxes), len(tall))
        self.assertEqual((len(medians), len(whiskers)), (len(drawn), 2 * len(drawn)))
        for j, k in enumerate(tall):
            _, q1, _, q3, _ = (a + b * v for v in box_rule(values[k]))
            self.assertEqual(boxes[j][0], colour[k])
            self.assertAlmostEqual(boxes[j][1], q3, delta=NEAR)
            self.assertAlmostEqual(boxes[j][2], q1, delta=NEAR)
        for j, k in enumerate(drawn):
            lower, _, median, _, upper = (a + b * v for v in box_rule(values[k]))
            self.assertAlmostEqual(medians[j], median, delta=NEAR)
            self.assertAlmostEqual(whiskers[2 * j][2], lower, delta=NEAR)
            self.assertAlmostEqual(whiskers[2 * j + 1][2], upper, delta=NEAR)

        p = subprocess.run(["pdftotext", base + ".pdf", "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        words = " ".join(p.stdout.split())
        test = (f"F = {shown(d['F'])} on {d['df1']} and {d['df2']} df, P = {shown(d['P'])}, "
                f"{d['permutations']} permutations")
        for text in [title, test, y_title] + [f"{w}: {l} ({g['n']})" if w else f"{l} ({g['n']})"
                                              for (w, l), g in zip(groups, d["levels"])]:
            self.assertIn(text, words)

    def test_the_main_factor_and_its_subgroups(self):
        d = self.run_dune("management", "--dispersion", "Management")
        p = self.plot("management", "--format", "svg,pdf,png")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        fig = os.path.join("management", "figures")
        self.assertEqual(p.stdout.splitlines()[-2:], [
            f"Dispersion of Management: 4 groups, 20 samples: {fig}/dispersion.svg, {fig}/dispersion.pdf, "
            f"{fig}/dispersion.png",
            f"Dispersion of Use's subgroups around Management's levels: 4 groups, 11 subgroups: "
            f"{fig}/dispersion-units.svg, {fig}/dispersion-units.pdf, {fig}/dispersion-units.png"])
        self.assertEqual(sorted(os.listdir(os.path.join(self.work, fig))),
                         sorted(f"{n}.{e}" for n in ["dispersion", "dispersion-units", "ordination-1", "ordination-2",
                                                     "ordination-3"] for e in ("pdf", "png", "svg")))
        self.check_figure(os.path.join(self.work, fig, "dispersion"), d, "Dispersion of Management",
                          "Distance to centroid")
        self.check_figure(os.path.join(self.work, fig, "dispersion-units"), d["units"],
                          "Dispersion of Use's subgroups around Management's levels", "Distance to centroid")

    def test_a_nested_factor_about_its_spatial_medians(self):
        d = self.run_dune("use", "--dispersion", "Use", "--dispersion-centre", "median", "--distance", "bray")
        self.assertNotIn("units", d)
        p = self.plot("use", "--format", "pdf,svg,png", "--prefix", "dune-ordination-", "-o", "figs")
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertEqual(p.stdout.splitlines(), [
            "use holds no ordination; no figure of an ordination drawn.",
            "Dispersion of Use within Management: 11 groups, 20 samples: figs/dune-dispersion.pdf, "
            "figs/dune-dispersion.svg, figs/dune-dispersion.png"])
        self.check_figure(os.path.join(self.work, "figs", "dune-dispersion"), d, "Dispersion of Use within Management",
                          "Distance to spatial median")

        # A unit without its level: the section is malformed, and nothing is drawn.
        path = os.path.join(self.work, "use", "results.json")
        with open(path) as f:
            doc = json.load(f)
        del doc["dispersion"]["samples"][0]["level"]
        with open(path, "w") as f:
            json.dump(doc, f)
        p = self.plot("use", "-o", "none")
        self.assertEqual((p.returncode, p.stdout), (2, ""))
        self.assertEqual(p.stderr, "morvenak-plot: use/results.json: the dispersion section's sample 1 has no "
                                   "field \"level\"\n")
        self.assertFalse(os.path.exists(os.path.join(self.work, "none")))


def main():
    global PLOT, MORVENAK, DATA
    parser = argparse.ArgumentParser()
    parser.add_argument("--plot", required=True)
    parser.add_argument("--morvenak", required=True)
    parser.add_argument("--data", required=True)
    args, rest = parser.parse_known_args()
    PLOT, MORVENAK, DATA = (os.path.abspath(a) for a in (args.plot, args.morvenak, args.data))
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
