#!/usr/bin/env python3
"""morvenak-plot against what users do to it: faulty options and prefixes, output folders
that cannot be used, score files cut short or damaged, hostile titles. Every run either
completes (status 0) or ends with one line on the error stream and status 2, writes
nothing when it fails, and every SVG it writes is well-formed XML and every PDF holds
the title as the user's file gave it, made fit to draw.

usage: plot_faults_test.py --plot PROGRAM --data TOOLS_TEST_DATA
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

PLOT = None
DATA = None
NOBODY = 65534
SVG = "{http://www.w3.org/2000/svg}"


def reference(case):
    with open(os.path.join(DATA, "scores", case, "FittedSc.out"), "rb") as f:
        return f.read()


class Folder:
    """A fresh folder holding the score file text (bytes) as FittedSc.out."""

    def __init__(self, scores=None):
        self.path = tempfile.mkdtemp(prefix="plot-faults-")
        if scores is not None:
            self.write("FittedSc.out", scores)

    def join(self, *names):
        return os.path.join(self.path, *names)

    def write(self, name, data):
        with open(self.join(name), "wb") as f:
            f.write(data)

    def files(self):
        """Every file under the folder, by its path relative to it."""
        found = []
        for root, dirs, names in os.walk(self.path):
            for n in dirs + names:
                found.append(os.path.relpath(os.path.join(root, n), self.path))
        return sorted(found)

    def run(self, *argv, program=None, stdout=subprocess.PIPE, timeout=60, **kw):
        return subprocess.run([program or PLOT] + list(argv), cwd=self.path, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=timeout, **kw)

    def remove(self):
        for root, dirs, _ in os.walk(self.path):
            for d in dirs:
                try:
                    os.chmod(os.path.join(root, d), 0o755)
                except OSError:
                    pass
        shutil.rmtree(self.path, ignore_errors=True)


class Case(unittest.TestCase):
    def folder(self, scores=None):
        f = Folder(scores)
        self.addCleanup(f.remove)
        return f

    def fails(self, p, message):
        """Status 2 and exactly this message (after the tool's name) on stderr."""
        self.assertEqual((p.returncode, p.stderr.decode("utf-8", "replace")),
                         (2, "morvenak-plot: " + message + "\n"))
        self.assertEqual(p.stdout, b"")


class Usage(Case):
    def test_help_ends_normally(self):
        d = self.folder(reference("six_task2"))
        p = d.run("--help")
        self.assertEqual(p.returncode, 0)
        self.assertIn(b"--output", p.stdout)
        self.assertEqual(d.files(), ["FittedSc.out"])

    def test_faulty_options_are_bad_usage(self):
        d = self.folder(reference("six_task2"))
        for argv, named in ((["--colour"], b"--colour"), (["-p"], b"-p"),
                            (["FittedSc.out", "other.out"], b"other.out")):
            with self.subTest(argv=argv):
                p = d.run(*argv)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn(named, p.stderr)
                self.assertEqual(d.files(), ["FittedSc.out"])

    def test_a_prefix_with_a_slash_is_refused(self):
        d = self.folder(reference("six_task2"))
        os.mkdir(d.join("out"))
        for prefix in ("../up", "sub/ord", "/tmp/ord"):
            with self.subTest(prefix=prefix):
                self.fails(d.run("-o", "out", "-p", prefix),
                           f'the prefix "{prefix}" holds a slash; give the folder with --output')
        self.assertEqual(d.files(), ["FittedSc.out", "out"])


class OutputFolder(Case):
    def test_folders_that_cannot_be_looked_up(self):
        d = self.folder(reference("six_task2"))
        os.symlink("loop", d.join("loop"))
        long_name = "x" * 300
        for folder, message in (
                ("loop", "loop: cannot use the folder: Too many levels of symbolic links"),
                ("loop/sub", "loop/sub: cannot use the folder: Too many levels of symbolic links"),
                (long_name, long_name + ": cannot use the folder: File name too long"),
                ("FittedSc.out", "FittedSc.out: cannot use the folder: it is not a folder"),
                ("FittedSc.out/sub", "FittedSc.out/sub: cannot create the folder: Not a directory")):
            with self.subTest(folder=folder[:20]):
                self.fails(d.run("-o", folder), message)
        self.assertEqual(d.files(), ["FittedSc.out", "loop"])

    def test_a_missing_folder_is_made(self):
        d = self.folder(reference("six_task2"))
        p = d.run("-o", "new/deeper")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(d.files(), ["FittedSc.out", "new", "new/deeper", "new/deeper/ordination-1.svg",
                                     "new/deeper/ordination-2.svg"])
        # A run that fails leaves no folder behind.
        d.write("ordination-1.svg", b"mine")
        self.fails(d.run("-o", ".", "-p", "ordination-"),
                   "ordination-1.svg: the file exists already; nothing was written (remove it or "
                   "choose another output folder or prefix)")
        self.assertEqual(d.run("-o", "other", "--format", "svg,svg").returncode, 0)
        self.assertEqual(d.files()[-2:], ["other/ordination-1.svg", "other/ordination-2.svg"])

    def test_folders_without_permission(self):
        # Permissions do not bind the superuser: as root the tool runs as the
        # unprivileged user, on a copy of itself that this user can run.
        d = self.folder(reference("six_task2"))
        os.mkdir(d.join("locked"))
        os.mkdir(d.join("locked", "sub"))
        program, preexec = PLOT, None
        if os.geteuid() == 0:
            program = d.join("morvenak-plot")
            shutil.copy(PLOT, program)
            os.chmod(program, 0o755)
            os.chmod(d.path, 0o777)
            os.chmod(d.join("FittedSc.out"), 0o644)

            def preexec():
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
        os.chmod(d.join("locked"), 0)
        self.fails(d.run("-o", "locked/sub", program=program, preexec_fn=preexec),
                   "locked/sub: cannot use the folder: Permission denied")
        os.chmod(d.join("locked"), 0o555)
        self.fails(d.run("-o", "locked", program=program, preexec_fn=preexec),
                   "locked/ordination-1.svg: cannot write the file: Permission denied; "
                   "nothing was written")
        self.fails(d.run("-o", "locked/new", program=program, preexec_fn=preexec),
                   "locked/new: cannot create the folder: Permission denied")
        os.chmod(d.join("locked"), 0o755)
        self.assertEqual(os.listdir(d.join("locked")), ["sub"])


class Statuses(Case):
    def test_every_failure_is_status_2(self):
        d = self.folder(reference("six_task2"))
        self.fails(d.run("nothing.out"), "nothing.out: cannot open the file")
        os.mkdir(d.join("dir.out"))
        self.fails(d.run("dir.out"), "dir.out/results.json: cannot open the file: No such file "
                                     "or directory")
        os.mkdir(d.join("figures"))
        d.write("figures/ordination-2.svg", b"mine")
        self.fails(d.run(), "figures/ordination-2.svg: the file exists already; nothing was written "
                            "(remove it or choose another output folder or prefix)")
        self.assertEqual(d.files(), ["FittedSc.out", "dir.out", "figures", "figures/ordination-2.svg"])
        for argv, message in (
                (["--axes", "1,1"], "--axes 1,1: give two different axes numbered from 1, such as 1,2"),
                (["--axes", "2"], "--axes 2: give two different axes numbered from 1, such as 1,2"),
                (["--format", "svg,jpg"], '--format svg,jpg: "jpg" is not a format; give svg, pdf, png or '
                                          "json (the figure model), or several with commas, such as svg,png"),
                (["--dpi", "1200", "--width", "50", "--format", "png"],
                 "a PNG of 60000 x 7200 pixels is beyond the 100 million pixels drawn; lower --dpi, "
                 "--width or --height"),
                (["dir.out", "--species", "FittedSc.out", "--labels", "x", "--main", "m"],
                 "dir.out is a results folder, which names and groups its samples itself; --species, "
                 "--labels, --main and --nested serve a score file")):
            with self.subTest(argv=argv):
                self.fails(d.run(*argv), message)

    def test_a_failed_write_to_standard_output_is_an_error(self):
        d = self.folder(reference("six_task2"))
        with open("/dev/full", "w") as full:
            p = d.run(stdout=full)
        self.assertEqual(p.returncode, 2)
        self.assertEqual(p.stderr, b"morvenak-plot: standard output: cannot write: "
                                   b"No space left on device\n")


class CutShort(Case):
    """The score file cut at every line end and within lines: only the whole file, and
    the cut after the heading's separator (the whole score file of a run without
    ordinations), are drawn."""

    def test_every_cut_is_incomplete(self):
        for case in ("dune_nested_hellinger", "worked_41_task3"):
            text = reference(case)
            prelude = text.index(b"-\n\n") + 3
            ends = [i + 1 for i, c in enumerate(text) if c == ord("\n")]
            cuts = sorted(set(ends + list(range(1, len(text), 37))))
            for cut in cuts:
                part = text[:cut]
                d = self.folder(part)
                p = d.run()
                with self.subTest(case=case, cut=cut):
                    if cut == len(text):
                        self.assertEqual(p.returncode, 0, p.stderr)
                        self.assertTrue(d.files()[-1].startswith("figures/ordination-"))
                    elif cut == prelude:
                        self.assertEqual((p.returncode, p.stdout),
                                         (0, b"FittedSc.out holds no ordination; no figure drawn.\n"))
                        self.assertEqual(d.files(), ["FittedSc.out"])
                    else:
                        line = part.count(b"\n") + (not part.endswith(b"\n"))
                        self.fails(p, f"FittedSc.out, line {line}: the file ends here, before "
                                      "the end of the score file (the file is incomplete)")
                        self.assertEqual(d.files(), ["FittedSc.out"])
                d.remove()


CASES = ("worked_41_task3", "six_task2", "two_level_task2", "three_level_dfw0_task2",
         "dune_nested_hellinger")


class WellFormed(Case):
    """Every SVG written is XML that a strict parser reads, whatever the title holds."""

    def parsed(self, d, name):
        with open(d.join(name), "rb") as f:
            root = ET.fromstring(f.read())
        self.assertEqual(root.tag, SVG + "svg")
        return root

    def pdf_text(self, d, name):
        p = subprocess.run(["pdftotext", d.join(name), "-"], capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stdout.decode("utf-8")

    def test_every_svg_of_the_reference_runs(self):
        for case in CASES:
            d = self.folder(reference(case))
            p = d.run("--format", "svg,pdf")
            self.assertEqual(p.returncode, 0, p.stderr)
            titles = [l.split(b", ", 1)[1].rsplit(b": ", 3)[0].decode()
                      for l in p.stdout.splitlines() if l.endswith(b".pdf")]
            svgs = [n for n in d.files() if n.endswith(".svg")]
            self.assertEqual(len(svgs), len(titles))
            for name, title in zip(svgs, titles):
                with self.subTest(case=case, svg=name):
                    root = self.parsed(d, name)
                    self.assertGreater(len(root.findall(f".//{SVG}path")), 0)
                    self.assertIn(title + ": ", self.pdf_text(d, name[:-4] + ".pdf"))

    def test_a_hostile_title(self):
        hostile = (b"Scores \x01\x1b[31m & <b> \"q\" 'a' \xff\xc3( \xed\xa0\x80 "
                   b"\xef\xbf\xbf caf\xc3\xa9\x7f ]]> \xc2\x85\x02end")
        shown = ("Scores ??[31m & <b> \"q\" 'a' \ufffd\ufffd( \ufffd\ufffd\ufffd "
                 "\ufffd caf\u00e9? ]]> ??end")
        text = reference("six_task2").replace(b" Object scores fitted to the anova factor\n",
                                              b" " + hostile + b"\n", 1)
        d = self.folder(text)
        p = d.run("--format", "svg,pdf")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTrue(p.stdout.decode("utf-8").startswith("Ordination 1, " + shown + ": 2 axes"))
        self.parsed(d, "figures/ordination-1.svg")
        self.parsed(d, "figures/ordination-2.svg")
        self.assertIn(shown + ": ", self.pdf_text(d, "figures/ordination-1.pdf").replace("\n", " "))
        # A NUL byte, which no score file holds, is no title: the file is refused.
        d = self.folder(text.replace(b"\x02end", b"\x00end"))
        self.fails(d.run(), "FittedSc.out, line 6: the file holds a NUL byte; a score file is plain text")

    def test_values_that_are_not_numbers_of_the_layout(self):
        text = reference("six_task2")
        for field, line, column in ((b"     1e308", 23, 2), (b"    -1e308", 24, 12),
                                    (b"       nan", 25, 2), (b"      -inf", 26, 12)):
            lines = text.split(b"\n")
            row = lines[line - 1]
            lines[line - 1] = row[:column - 1] + field + row[column + 9:]
            d = self.folder(b"\n".join(lines))
            with self.subTest(field=field):
                self.fails(d.run(), f"FittedSc.out, line {line}, column {column}: "
                                    f'"{field.decode().strip()}" is not a number')
                self.assertEqual(d.files(), ["FittedSc.out"])


RESULTS_JSON = (b'{"design": {"factors": [{"column": "Site"}]}, "ordinations": [{"title": "fitted", '
                b'"eigenvalues": [2, 1], "proportions": [0.4, 0.2], "objects_file": "o1.tsv", '
                b'"species_file": "s1.tsv"}]}\n')


class Bounds(Case):
    """What the tool reads is read with bounds: a device that never ends, a named pipe
    without a writer and a file larger than any run writes end the run at once with one
    line naming the file, and very long names take no longer than short ones to draw."""

    def results(self, names=("a", "b", "c", "d")):
        """A results folder of one factor, two axes and the samples named."""
        d = self.folder()
        d.write("results.json", RESULTS_JSON)
        rows = [f"{n}\t{'AB'[k % 2]}\t{k * 0.5 - 1}\t{(k % 3) * 0.25}" for k, n in enumerate(names)]
        d.write("o1.tsv", ("sample\tSite\taxis1\taxis2\n" + "\n".join(rows) + "\n").encode())
        d.write("s1.tsv", b"species\taxis1\taxis2\nsp1\t0.5\t0.25\n")
        return d

    def test_an_endless_device_is_refused_at_once(self):
        for name, kind in (("results.json", "results.json"), ("o1.tsv", "a score table"),
                           ("s1.tsv", "a score table")):
            with self.subTest(file=name):
                d = self.results()
                os.remove(d.join(name))
                os.symlink("/dev/zero", d.join(name))
                self.fails(d.run(d.path), f"{d.join(name)}, line 1: the file holds a NUL byte; "
                                          f"{kind} is plain text")
                self.assertFalse(os.path.exists(d.join("figures")))
        d = self.folder()
        self.fails(d.run("/dev/zero"), "/dev/zero, line 1: the file holds a NUL byte; a score file "
                                       "is plain text")

    def test_a_named_pipe_without_a_writer_does_not_block(self):
        for name, message in (("results.json", "the file is empty"), ("o1.tsv", "the file is empty")):
            with self.subTest(file=name):
                d = self.results()
                os.remove(d.join(name))
                os.mkfifo(d.join(name))
                self.fails(d.run(d.path), f"{d.join(name)}: {message}")
        d = self.folder()
        os.mkfifo(d.join("FittedSc.out"))
        self.fails(d.run(), 'FittedSc.out, line 1: not a score file (its first line is not "Object '
                            'scores fitted to the anova factors")')

    def test_a_results_file_larger_than_a_run_writes(self):
        d = self.results()
        with open(d.join("results.json"), "r+b") as f:
            f.truncate((64 << 20) + 1)  # a sparse file: no disk taken
        self.fails(d.run(d.path), f"{d.join('results.json')}: the file holds more than 64 MiB; "
                                  "results.json takes at most 64 MiB")

    def test_very_long_sample_names(self):
        # Cutting each name one character at a time took minutes for these.
        names = [f"{k:02d}" + "x" * 20000 for k in range(40)]
        d = self.results(names)
        p = d.run(d.path, "--format", "svg,png")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertRegex(p.stdout.decode(), r"^Ordination 1, fitted: 2 axes, 40 samples( \(.*\))?: \S+\.svg, "
                                            r"\S+\.png\n$")
        self.assertEqual(sorted(os.listdir(d.join("figures"))), ["ordination-1.png", "ordination-1.svg"])


def main():
    global PLOT, DATA
    parser = argparse.ArgumentParser()
    parser.add_argument("--plot", required=True)
    parser.add_argument("--data", required=True)
    args, rest = parser.parse_known_args()
    PLOT = os.path.abspath(args.plot)
    DATA = os.path.abspath(args.data)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
