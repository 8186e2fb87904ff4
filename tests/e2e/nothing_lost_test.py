#!/usr/bin/env python3
"""Nothing a user has is lost, whatever ends the run.

- "Morvenak.out" and "FittedSc.out" are never overwritten, not even through a link.
- A run cut short anywhere in its input (every line of every input file and of
  the answers) ends with "list in: end of file" and leaves a report, and a
  score file, that are line for line the beginning of the full run's files.
- An interrupt or a termination request during a long permutation test, or
  while the dialogue waits, ends the run with "Interrupt" or "Killed" and
  status 1 and leaves the report readable, ending with the last complete line
  written; an interrupt ignored at start stays ignored.

usage: nothing_lost_test.py --cmd PROGRAM
"""
import os, random, signal, subprocess, sys, tempfile, time, unittest

from workdir import Folder, interrupts_as_from_a_console, main

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases")
NESTED = os.path.join(CASES, "nested", "two_level_task3")  # task 3, two factors: report and score file


def answers_of(case):
    with open(os.path.join(case, "answers.txt"), "rb") as f:
        return f.read()


def lines(data):
    return data.decode("latin-1").splitlines(keepends=True)


class NeverOverwritten(unittest.TestCase):
    PRECIOUS = b"results of last week\nthat nobody may lose\n"

    def refused(self, folder, answers, name):
        p = folder.run(answers)
        self.assertNotEqual(p.returncode, 0)
        self.assertTrue(p.stderr.startswith(b"open: 'new' file exists\n"), p.stderr)
        self.assertIn(("named " + name + "\n").encode(), p.stderr)
        return p

    def test_existing_report_in_every_form(self):
        for form in ("file", "empty file", "link", "dangling link", "folder"):
            with self.subTest(form=form):
                folder = Folder(NESTED)
                outside = Folder()
                try:
                    target = os.path.join(outside.path, "elsewhere.txt")
                    report = os.path.join(folder.path, "Morvenak.out")
                    if form == "file":
                        folder.write("Morvenak.out", self.PRECIOUS)
                    elif form == "empty file":
                        folder.write("Morvenak.out", b"")
                    elif form == "link":
                        outside.write("elsewhere.txt", self.PRECIOUS)
                        os.symlink(target, report)
                    elif form == "dangling link":
                        os.symlink(target, report)
                    else:
                        os.mkdir(report)
                    p = self.refused(folder, answers_of(NESTED), "Morvenak.out")
                    self.assertEqual(p.stdout, b"")  # the run ends before the banner
                    if form == "file":
                        self.assertEqual(folder.read("Morvenak.out"), self.PRECIOUS)
                    elif form == "empty file":
                        self.assertEqual(folder.read("Morvenak.out"), b"")
                    elif form == "link":
                        self.assertEqual(outside.read("elsewhere.txt"), self.PRECIOUS)
                    elif form == "dangling link":
                        self.assertFalse(os.path.exists(target))
                    self.assertIsNone(folder.read("FittedSc.out"))
                finally:
                    folder.remove()
                    outside.remove()

    def test_existing_score_file(self):
        folder = Folder(NESTED, {"FittedSc.out": self.PRECIOUS})
        try:
            self.refused(folder, answers_of(NESTED), "FittedSc.out")
            self.assertEqual(folder.read("FittedSc.out"), self.PRECIOUS)
            report = folder.read("Morvenak.out").decode("latin-1")
            self.assertTrue(report.endswith(" File containing the file names:   files.txt" + " " * 23 + "\n\n"), report)
        finally:
            folder.remove()

    def test_a_second_run_leaves_the_first_run_intact(self):
        folder = Folder(NESTED)
        try:
            first = folder.run(answers_of(NESTED))
            self.assertEqual(first.returncode, 0, first.stderr)
            report, scores = folder.read("Morvenak.out"), folder.read("FittedSc.out")
            self.refused(folder, answers_of(NESTED), "Morvenak.out")
            self.assertEqual(folder.read("Morvenak.out"), report)
            self.assertEqual(folder.read("FittedSc.out"), scores)
        finally:
            folder.remove()


class CutShort(unittest.TestCase):
    """Each input cut after each of its lines, one at a time."""

    @classmethod
    def setUpClass(cls):
        folder = Folder(NESTED)
        try:
            p = folder.run(answers_of(NESTED))
            assert p.returncode == 0, p.stderr
            cls.report, cls.scores = folder.read("Morvenak.out"), folder.read("FittedSc.out")
        finally:
            folder.remove()

    def assert_prefix(self, cut, full, what):
        cut_lines, full_lines = lines(cut), lines(full)
        self.assertTrue(cut.endswith(b"\n"), what + ": last line incomplete")
        self.assertLess(len(cut_lines), len(full_lines), what)
        self.assertEqual(cut_lines, full_lines[: len(cut_lines)], what)

    def test_every_input_cut_after_every_line(self):
        inputs = {}
        for name in os.listdir(os.path.join(NESTED, "in")):
            with open(os.path.join(NESTED, "in", name), "rb") as f:
                inputs[name] = f.read()
        inputs["(answers)"] = answers_of(NESTED)
        runs = 0
        for name, data in sorted(inputs.items()):
            kept = lines(data)
            for k in range(len(kept)):
                what = "%s cut to %d lines" % (name, k)
                cut = "".join(kept[:k]).encode("latin-1")
                files = {n: d for n, d in inputs.items() if n != "(answers)"}
                answers = inputs["(answers)"]
                if name == "(answers)":
                    answers = cut
                else:
                    files[name] = cut
                folder = Folder(files=files)
                try:
                    p = folder.run(answers)
                    runs += 1
                    self.assertNotEqual(p.returncode, 0, what)
                    self.assertTrue(p.stderr.startswith(b"list in: end of file\napparent state: unit "), what)
                    self.assert_prefix(folder.read("Morvenak.out"), self.report, what + ", report")
                    scores = folder.read("FittedSc.out")
                    if scores is not None:
                        self.assertEqual(lines(scores), lines(self.scores)[: len(lines(scores))], what + ", scores")
                finally:
                    folder.remove()
        self.assertGreater(runs, 40)


def long_test_files(n=60, p=40, levels=3):
    """A one-factor design large enough for progress lines and a long test."""
    rnd = random.Random(7)
    y = "%d %d\n" % (n, p) + "".join(" ".join(str(rnd.randrange(10)) for _ in range(p)) + "\n" for _ in range(n))
    per = n // levels
    rows = []
    for i in range(n):  # Helmert-style contrasts of `levels` equal groups
        g = i // per
        rows.append(" ".join(("1" if g == 0 else "-1" if g == 1 else "0") if c == 0 else
                             ("1" if g < 2 else "-2") for c in range(levels - 1)))
    f = "%d %d\n" % (n, levels - 1) + "\n".join(rows) + "\n"
    return {"files.txt": "2\nY.txt\nF.txt\n", "Y.txt": y, "F.txt": f}


class Signals(unittest.TestCase):
    NPERM = 999999

    @classmethod
    def setUpClass(cls):
        # The report of a short run up to the table head, with the long run's count.
        folder = Folder(files=long_test_files())
        try:
            p = folder.run(b"files.txt\n1\n0\n19\n1\n")
            assert p.returncode == 0, p.stderr
            text = lines(folder.read("Morvenak.out"))
        finally:
            folder.remove()
        at = next(i for i, l in enumerate(text) if l.startswith(" Probabilities after"))
        text[at] = " Probabilities after%6d permutations\n" % cls.NPERM
        cls.head = "".join(text[: at + 5]).encode("latin-1")  # empty line, rule, titles, rule

    def interrupted(self, sig, preexec=None):
        folder = Folder(files=long_test_files())
        answers = tempfile.TemporaryFile()
        answers.write(b"files.txt\n1\n0\n%d\n1\n" % self.NPERM)
        answers.seek(0)
        proc = None
        try:
            proc = folder.start(answers, preexec_fn=preexec)
            seen = b""
            while b"Permutation no" not in seen:
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                seen += chunk
            self.assertIn(b"+Permutation no    10\n", seen)  # the test is under way
            proc.send_signal(sig)
            if preexec is not None:
                time.sleep(1.0)
                self.assertIsNone(proc.poll(), "an interrupt ignored at start ended the run")
                proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=60)
            return proc.returncode, err, folder.read("Morvenak.out")
        finally:
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()
            answers.close()
            folder.remove()

    def test_interrupt_during_the_permutation_test(self):
        status, err, report = self.interrupted(signal.SIGINT)
        self.assertEqual((status, err), (1, b"Interrupt\n"))
        self.assertEqual(report, self.head)

    def test_termination_during_the_permutation_test(self):
        status, err, report = self.interrupted(signal.SIGTERM)
        self.assertEqual((status, err), (1, b"Killed\n"))
        self.assertEqual(report, self.head)

    def test_an_interrupt_ignored_at_start_stays_ignored(self):
        status, err, report = self.interrupted(signal.SIGINT, lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        self.assertEqual((status, err), (1, b"Killed\n"))
        self.assertEqual(report, self.head)

    def test_interrupt_while_the_dialogue_waits(self):
        folder = Folder(NESTED)
        reader, writer = os.pipe()
        try:
            proc = folder.start(reader)
            os.write(writer, b"files.txt\n")  # then the program waits for the task
            seen = b""
            while b"(3) Both 1 and 2\n" not in seen:
                chunk = os.read(proc.stdout.fileno(), 65536)
                self.assertTrue(chunk, "the program ended early")
                seen += chunk
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=60)
            self.assertEqual((proc.returncode, err), (1, b"Interrupt\n"))
            report = folder.read("Morvenak.out").decode("latin-1")
            self.assertTrue(report.endswith(" File containing the file names:   files.txt" + " " * 23 + "\n\n"), report)
        finally:
            os.close(reader)
            os.close(writer)
            folder.remove()


if __name__ == "__main__":
    main()
