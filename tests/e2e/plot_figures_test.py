#!/usr/bin/env python3
"""morvenak-plot on results folders written from the engine's own numbers (the dune
tables, Management with Use nested in it, and synthetic designs) and on a classic score
file with its tables. Every figure is read back as a user's tools read it: the SVG
parses as XML, the PDF opens with pdftoppm and its text (pdftotext) holds every sample
name (less those the note says were left out), every level of the legend and every
species named; the PNG decodes and holds pixels of each group's colour.

usage: plot_figures_test.py --plot PROGRAM --fixture RESULTS_FIXTURE --data TOOLS_TEST_DATA
"""
import argparse
import csv
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

PLOT = FIXTURE = DATA = None
# The palette's colours in the order groups take them.
PALETTE = ["e69f00", "56b4e9", "009e73", "cc79a7", "0072b2", "d55e00", "f0e442"]


def png_pixels(data):
    """The set of RGB colours of an 8-bit RGB or RGBA PNG, decoded from its chunks."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    pos, idat, width = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert zlib.crc32(kind + body) == crc, f"bad CRC in {kind}"
        if kind == b"IHDR":
            width, height, depth, colour_type = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour_type in (2, 6), (depth, colour_type)
            bpp = 3 if colour_type == 2 else 4
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * bpp
    assert len(raw) == height * (stride + 1)
    colours, prev = set(), bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        for x in range(width):
            colours.add(bytes(line[x * bpp:x * bpp + 3]).hex())
        prev = line
    return (width, height), colours


def write_table(path, header, rows):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(header)
        w.writerows(rows)


class Case(unittest.TestCase):
    def folder(self):
        d = tempfile.mkdtemp(prefix="plot-figures-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def fixture(self, d, species, labels, *columns, transform=0):
        out = os.path.join(d, "results")
        p = subprocess.run([FIXTURE, species, labels, out, str(transform)] + list(columns),
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        return out

    def plot(self, *argv):
        p = subprocess.run([PLOT] + list(argv), capture_output=True, text=True, timeout=120)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        return p.stdout.splitlines()

    def pdf_words(self, path):
        p = subprocess.run(["pdftotext", path, "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        return set(p.stdout.split())

    def well_formed(self, base, groups):
        """base.svg parses as XML, base.pdf opens, base.png decodes with each group's colour."""
        with open(base + ".svg", "rb") as f:
            root = ET.fromstring(f.read())
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        p = subprocess.run(["pdftoppm", "-r", "30", "-png", base + ".pdf", base + "-pdf"],
                           capture_output=True, timeout=60)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertTrue(os.path.exists(base + "-pdf-1.png"))
        with open(base + ".png", "rb") as f:
            size, colours = png_pixels(f.read())
        for g in range(groups):
            self.assertIn(PALETTE[g], colours, f"group {g + 1} of {groups}")
        return size

    def check_text(self, line, pdf, samples, levels, species, labelled=True):
        """The PDF's words hold every sample name not left out (none when the samples
        are not labelled), levels and species."""
        words = self.pdf_words(pdf)
        if not labelled:
            self.assertEqual([s for s in samples if s in words], [])
            samples = []
        missing = [s for s in samples if s not in words]
        m = re.search(r"\((\d+) of (\d+) sample labels left out", line)
        left_out = int(m.group(1)) if m else 0
        self.assertEqual(len(missing), left_out, missing[:10])
        self.assertEqual([l for l in levels if l not in words], [])
        m = re.search(r"(\d+) species arrows left out", line)
        named = [s for s in species if s in words]
        self.assertEqual(len(named), len(species) - (int(m.group(1)) if m else 0), species)


def top_species(path, k=10):
    with open(path) as f:
        rows = list(csv.reader(f, delimiter="\t"))[1:]
    by = sorted(rows, key=lambda r: -math.hypot(float(r[1]), float(r[2])))
    return [r[0] for r in by[:k]]


class Dune(Case):
    def dune_tables(self, d):
        """The dune tables with sample names that no tick label can stand for."""
        names = {}
        for src, dst in (("dune.csv", "species.csv"), ("dune.env.csv", "labels.csv")):
            with open(os.path.join(DATA, "dune", src)) as f:
                rows = list(csv.reader(f))
            for r in rows[1:]:
                names.setdefault(r[0], f"plot{int(r[0]):02d}")
                r[0] = names[r[0]]
            write_table(os.path.join(d, dst), rows[0], rows[1:])
        return os.path.join(d, "species.csv"), os.path.join(d, "labels.csv"), list(names.values())

    def test_the_nested_example(self):
        d = self.folder()
        species, labels, samples = self.dune_tables(d)
        res = self.fixture(d, species, labels, "Management", "Use")
        out = self.plot(res, "--format", "svg,pdf,png")
        fig = os.path.join(res, "figures")
        self.assertEqual(len(out), 3)
        self.assertEqual(out[0], f"Ordination 1, Object scores fitted to the main factor: 3 axes, "
                                 f"20 samples: {fig}/ordination-1.svg, {fig}/ordination-1.pdf, "
                                 f"{fig}/ordination-1.png")
        management = ["SF", "BF", "HF", "NM"]
        for k, groups, levels in ((1, 4, management), (2, 4, management + ["Haypastu", "Hayfield", "Pasture"]),
                                  (3, 4, management)):
            with self.subTest(ordination=k):
                base = os.path.join(fig, f"ordination-{k}")
                self.assertEqual(self.well_formed(base, groups), (1050, 900))
                self.check_text(out[k - 1], base + ".pdf", samples, levels,
                                top_species(os.path.join(res, f"ordination-{k}-species.tsv")))
        # A second run overwrites nothing.
        p = subprocess.run([PLOT, res, "--format", "png"], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stderr),
                         (2, f"morvenak-plot: {fig}/ordination-1.png: the file exists already; nothing "
                             "was written (remove it or choose another output folder or prefix)\n"))

    def test_a_score_file_with_its_tables(self):
        d = self.folder()
        shutil.copy(os.path.join(DATA, "scores", "dune_nested_hellinger", "FittedSc.out"), d)
        dune = os.path.join(DATA, "dune")
        out = self.plot(os.path.join(d, "FittedSc.out"), "--species", os.path.join(dune, "dune.csv"),
                        "--labels", os.path.join(dune, "dune.env.csv"), "--main", "Management",
                        "--nested", "Use", "--format", "pdf,png", "--output", os.path.join(d, "new", "figs"))
        self.assertEqual(len(out), 3)
        words = self.pdf_words(os.path.join(d, "new", "figs", "ordination-2.pdf"))
        for w in ("SF", "BF", "HF", "NM", "Haypastu", "Hayfield", "Pasture", "Management"):
            self.assertIn(w, words)
        _, colours = png_pixels(open(os.path.join(d, "new", "figs", "ordination-2.png"), "rb").read())
        self.assertTrue(all(PALETTE[g] in colours for g in range(4)))

    def test_score_file_tables_that_do_not_fit(self):
        d = self.folder()
        shutil.copy(os.path.join(DATA, "scores", "dune_nested_hellinger", "FittedSc.out"), d)
        dune = os.path.join(DATA, "dune")
        base = [PLOT, "FittedSc.out", "--species", os.path.join(dune, "dune.csv"),
                "--labels", os.path.join(dune, "dune.env.csv")]
        for extra, message in (
                (["--main", "Management"],
                 "FittedSc.out holds 3 ordinations, those of 2 factors and of the residuals, but 1 "
                 "factor columns were given (--main, --nested)"),
                (["--main", "Managment", "--nested", "Use"],
                 f'{dune}/dune.env.csv, line 1: no column is named "Managment" (the columns are: A1, '
                 "Moisture, Management, Use, Manure)")):
            p = subprocess.run(base + extra, cwd=d, capture_output=True, text=True)
            self.assertEqual((p.returncode, p.stderr), (2, "morvenak-plot: " + message + "\n"))
        self.assertEqual(sorted(os.listdir(d)), ["FittedSc.out"])


class Synthetic(Case):
    def design(self, d, groups, per_group, species=8, seed=1):
        rnd = random.Random(seed)
        names = [f"s{g}x{i}" for g in range(groups) for i in range(per_group)]
        rows = [[n] + [round(rnd.random() * 10 + (j < 3) * (k // per_group) * (j + 1), 3)
                       for j in range(species)] for k, n in enumerate(names)]
        write_table(os.path.join(d, "sp.csv"), ["id"] + [f"Sp{j + 1}" for j in range(species)], rows)
        write_table(os.path.join(d, "lab.csv"), ["id", "Treatment"],
                    [[n, f"T{k // per_group + 1}"] for k, n in enumerate(names)])
        return names, [f"T{g + 1}" for g in range(groups)]

    def test_designs(self):
        for groups, per_group, options in ((2, 35, ["--point-labels", "names"]),
                                           (4, 33, ["--hulls", "--ellipses"]),
                                           (9, 4, ["--width", "8", "--height", "6"])):
            with self.subTest(groups=groups, per_group=per_group):
                d = self.folder()
                names, levels = self.design(d, groups, per_group)
                res = self.fixture(d, os.path.join(d, "sp.csv"), os.path.join(d, "lab.csv"), "Treatment")
                out = self.plot(res, "--format", "svg,pdf,png", *options)
                for k, line in enumerate(out, 1):
                    base = os.path.join(res, "figures", f"ordination-{k}")
                    self.well_formed(base, min(groups, len(PALETTE)))
                    # Beyond 50 samples the samples are labelled only when asked.
                    self.check_text(line, base + ".pdf", names, levels,
                                    top_species(os.path.join(res, f"ordination-{k}-species.tsv"))
                                    if groups > 2 or k == 2 else [],
                                    labelled=len(names) <= 50 or "--point-labels" in options)
                if groups == 2:
                    self.assertIn(": 1 axis, 70 samples", out[0])


class Axes(Synthetic):
    """Only the axes asked for are drawn; an ordination without them is skipped with a
    warning, and a run where no ordination has them fails."""

    def two_groups(self):
        d = self.folder()
        self.design(d, 2, 10)
        # Ordination 1 (two groups) has 1 axis, the residuals' ordination 2 has 8.
        return d, self.fixture(d, os.path.join(d, "sp.csv"), os.path.join(d, "lab.csv"), "Treatment")

    def axis_words(self, pdf):
        """The numbers of the axes that the figure's axis titles name."""
        p = subprocess.run(["pdftotext", pdf, "-"], capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        return sorted(set(re.findall(r"Axis (\d+) \(", p.stdout)))

    def run_plot(self, *argv):
        return subprocess.run([PLOT] + list(argv), capture_output=True, text=True, timeout=120)

    def test_an_ordination_without_the_axes_is_skipped_with_a_warning(self):
        d, res = self.two_groups()
        p = self.run_plot(res, "--axes", "2,3", "--format", "pdf")
        title = "Ordination 1, Object scores fitted to the anova factor"
        self.assertEqual((p.returncode, p.stderr),
                         (0, f"morvenak-plot: warning: {title}: 1 axis, no axis 2; no figure drawn\n"))
        fig = os.path.join(res, "figures")
        self.assertEqual(sorted(os.listdir(fig)), ["ordination-2.pdf"])
        self.assertNotIn(title, p.stdout)
        self.assertEqual(self.axis_words(os.path.join(fig, "ordination-2.pdf")), ["2", "3"])

    def test_a_one_axis_ordination_is_a_strip_chart_when_axis_1_is_asked(self):
        d, res = self.two_groups()
        for axes, out in (("1,2", "default"), ("3,1", "three-one")):
            with self.subTest(axes=axes):
                lines = self.plot(res, "--axes", axes, "--format", "pdf", "-o", os.path.join(d, out))
                self.assertEqual(len(lines), 2)
                self.assertIn(": 1 axis, 20 samples", lines[0])
                self.assertEqual(self.axis_words(os.path.join(d, out, "ordination-1.pdf")), ["1"])
                self.assertEqual(self.axis_words(os.path.join(d, out, "ordination-2.pdf")),
                                 sorted(axes.split(",")))

    def test_no_ordination_with_the_axes_is_an_error(self):
        d, res = self.two_groups()
        scores = os.path.join(DATA, "scores", "worked_41_task3", "FittedSc.out")
        for given, axes, has in ((res, "9,2", "1 axis, 2 has 8 axes"),
                                 (scores, "2,3", "1 axis, 2 has 1 axis")):
            with self.subTest(input=given):
                p = self.run_plot(given, "--axes", axes, "-o", os.path.join(d, "figs"))
                self.assertEqual((p.returncode, p.stdout), (2, ""))
                self.assertEqual(p.stderr, f"morvenak-plot: {given}: no ordination has axes "
                                           f"{axes.replace(',', ' and ')} (ordination 1 has {has}); "
                                           "no figure drawn\n")
                self.assertFalse(os.path.exists(os.path.join(d, "figs")))


def main():
    global PLOT, FIXTURE, DATA
    parser = argparse.ArgumentParser()
    parser.add_argument("--plot", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--data", required=True)
    args, rest = parser.parse_known_args()
    PLOT, FIXTURE, DATA = (os.path.abspath(a) for a in (args.plot, args.fixture, args.data))
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
