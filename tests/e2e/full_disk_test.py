#!/usr/bin/env python3
"""A run on a file system that fills up ends as a fatal error, never as a success.

The working folder is a tmpfs of 8 KiB (mounting it needs root; without root
the test prints why it did not run, and ctest reports it as not run). The input
files stay outside it, named by their full paths.

- A report longer than the room: status 2, "write: No space left on device"
  naming Morvenak.out, the report holds the first 8 KiB of the full report,
  and the console never says "End of the program.".
- A file system that is already full, under a run that ends normally
  elsewhere (task 3, report and score file): the same error, an empty report.

usage: full_disk_test.py --cmd PROGRAM
"""
import argparse, os, random, shutil, subprocess, sys, tempfile, unittest

PROGRAM = None
CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases")
NESTED = os.path.join(CASES, "nested", "two_level_task3")
ROOM = 8192
NOT_RUN = "NOT RUN: mounting a small file system needs root, and this test runs as user %d."
ERROR = b"write: No space left on device\napparent state: unit 4 named Morvenak.out\n"


def long_report_inputs(folder):
    """Twenty factor columns that neither sum to 0 nor are orthogonal: with the
    coding check on, the report holds 210 warnings (more than 13 KB) before
    the run stops."""
    r = random.Random(5)
    with open(os.path.join(folder, "Y.txt"), "w") as f:
        f.write("30 2\n" + "".join("%d %d\n" % (r.randint(0, 9), r.randint(0, 9)) for i in range(30)))
    with open(os.path.join(folder, "X.txt"), "w") as f:
        f.write("30 20\n" + "".join(" ".join(str(r.randint(1, 9)) for j in range(20)) + "\n" for i in range(30)))
    with open(os.path.join(folder, "files.txt"), "w") as f:
        f.write("2\n'%s'\n'%s'\n" % (os.path.join(folder, "Y.txt"), os.path.join(folder, "X.txt")))
    return ("'%s'\n1\n0\n9\n1\n" % os.path.join(folder, "files.txt")).encode()


def case_inputs(case, folder):
    """The case's files, with the file of file names rewritten to full paths."""
    for name in os.listdir(os.path.join(case, "in")):
        shutil.copy(os.path.join(case, "in", name), folder)
    with open(os.path.join(folder, "files.txt")) as f:
        words = f.read().split()
    with open(os.path.join(folder, "files.txt"), "w") as f:
        f.write(words[0] + "\n" + "".join("'%s'\n" % os.path.join(folder, w) for w in words[1:]))
    with open(os.path.join(case, "answers.txt"), "rb") as f:
        answers = f.read().split(b"\n", 1)[1]
    return ("'%s'\n" % os.path.join(folder, "files.txt")).encode() + answers


def run(folder, answers):
    return subprocess.run([PROGRAM], cwd=folder, input=answers, capture_output=True, timeout=300)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class FullDisk(unittest.TestCase):
    def setUp(self):
        # Short paths: a file name read from the dialogue holds at most 79 characters.
        self.inputs, self.plain, self.small = (tempfile.mkdtemp(prefix=p, dir="/tmp")
                                               for p in ("mvk-in-", "mvk-plain-", "mvk-full-"))
        for path in (self.inputs, self.plain, self.small):
            self.addCleanup(shutil.rmtree, path, ignore_errors=True)
        # Running as root, a mount that fails is a failure of the test. Cleanups
        # run last first: the file system is unmounted before its folder goes.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", self.small], check=True)
        self.addCleanup(subprocess.run, ["umount", self.small], check=True)

    def assert_lost_output(self, p):
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertTrue(p.stderr.startswith(ERROR), p.stderr)
        self.assertTrue(p.stderr.endswith(b"\nlast transfer: writing\n"), p.stderr)
        self.assertNotIn(b"End of the program.", p.stdout)
        self.assertNotIn(b"Results are found", p.stdout)

    def test_report_longer_than_the_room(self):
        answers = long_report_inputs(self.inputs)
        full = run(self.plain, answers)
        self.assertEqual(full.returncode, 1, full.stderr)
        report = read(os.path.join(self.plain, "Morvenak.out"))
        self.assertGreater(len(report), 13000)
        p = run(self.small, answers)
        self.assert_lost_output(p)
        self.assertEqual(read(os.path.join(self.small, "Morvenak.out")), report[:ROOM])
        self.assertIn(b"last layout: (\" *** The variables coding for factor\", I2, \" are not orthogonal\", /)\n",
                      p.stderr)

    def test_full_file_system_under_a_complete_run(self):
        answers = case_inputs(NESTED, self.inputs)
        done = run(self.plain, answers)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"End of the program.", done.stdout)
        with open(os.path.join(self.small, "filler"), "wb") as f:
            f.write(b"x" * ROOM)
        p = run(self.small, answers)
        self.assert_lost_output(p)
        self.assertEqual(read(os.path.join(self.small, "Morvenak.out")), b"")
        self.assertFalse(os.path.exists(os.path.join(self.small, "FittedSc.out")))


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--cmd", required=True)
    args, rest = ap.parse_known_args()
    PROGRAM = os.path.abspath(args.cmd)
    if os.geteuid() != 0:
        print(NOT_RUN % os.geteuid())
        sys.exit(0)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
