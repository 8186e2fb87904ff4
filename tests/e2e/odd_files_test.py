#!/usr/bin/env python3
"""The program on the files and consoles that a case folder cannot hold:
unreadable files, named pipes, devices, and closed or vanishing console
descriptors. Each run ends with a clear message, never hangs, and never lets
console text into the report.

usage: odd_files_test.py --cmd PROGRAM
"""
import os, shutil, signal, subprocess, sys, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases  # noqa: E402  (masks the computation times)
from workdir import Folder, main  # noqa: E402

ANSWERS = b"files.txt\n1\n0\n19\n1\n"
Y = "6 2\n1 0\n2 1\n3 0\n5 4\n6 5\n7 4\n"
F = "6 1\n1\n1\n1\n-1\n-1\n-1\n"
NOBODY = 65534


def small_design(**files):
    """A working folder with a small one-factor design, less or more files."""
    given = {"files.txt": "2\nY.txt\nF.txt\n", "Y.txt": Y, "F.txt": F}
    given.update(files)
    return Folder(files=given, prefix="morvenak-special-")


def first_lines(stderr, k=2):
    return stderr.decode("latin-1").split("\n")[:k]


class Unreadable(unittest.TestCase):
    """A file without read permission. Permissions do not bind the superuser,
    so as root the program runs as the unprivileged user on a copy of itself."""

    def run_without_permission(self, name):
        folder = small_design()
        try:
            os.chmod(folder.join(name), 0)
            program, preexec = Folder.program, None
            if os.geteuid() == 0:
                program = folder.join("morvenak")
                shutil.copy(Folder.program, program)
                os.chmod(program, 0o755)
                os.chmod(folder.path, 0o777)

                def preexec():
                    os.setgroups([])
                    os.setgid(NOBODY)
                    os.setuid(NOBODY)
            p = folder.run(ANSWERS, program=program, preexec=preexec)
            return p, folder.read("Morvenak.out").decode("latin-1")
        finally:
            folder.remove()

    def test_unreadable_response_file(self):
        p, report = self.run_without_permission("Y.txt")
        self.assertEqual(p.returncode, 2)
        self.assertEqual(first_lines(p.stderr), ["open: Permission denied", "apparent state: unit 11 named Y.txt"])
        self.assertTrue(report.endswith(" File containing the file names:   files.txt" + " " * 23 + "\n\n"), report)

    def test_unreadable_file_of_file_names(self):
        p, report = self.run_without_permission("files.txt")
        self.assertEqual(p.returncode, 2)
        self.assertEqual(first_lines(p.stderr), ["open: Permission denied", "apparent state: unit 2 named files.txt"])


class SpecialFiles(unittest.TestCase):
    def fails_with(self, fofn, first_line, unit_line):
        folder = small_design(**{"files.txt": fofn})
        try:
            if "pipe" in fofn:
                os.mkfifo(folder.join("pipe"))
            p = folder.run(ANSWERS)
            self.assertEqual(p.returncode, 2)
            self.assertEqual(first_lines(p.stderr), [first_line, unit_line])
        finally:
            folder.remove()

    def test_named_pipe_without_writer(self):
        self.fails_with("2\npipe\nF.txt\n", "list in: end of file", "apparent state: unit 11 named pipe")

    def test_endless_device(self):
        self.fails_with("2\nY.txt\n'/dev/zero'\n", "list in: line too long (more than 64 MiB)",
                        "apparent state: unit 12 named /dev/zero")

    def test_empty_device(self):
        self.fails_with("2\n'/dev/null'\nF.txt\n", "list in: end of file", "apparent state: unit 11 named /dev/null")


class ConsoleDescriptors(unittest.TestCase):
    """Descriptors 0, 1 or 2 closed by the caller, or a console that goes away."""

    @classmethod
    def setUpClass(cls):
        folder = small_design()
        try:
            p = folder.run(ANSWERS)
            assert p.returncode == 0, p.stderr
            cls.report = run_cases.mask(folder.read("Morvenak.out").decode("latin-1"))
            cls.console = p.stdout
        finally:
            folder.remove()

    def run_closed(self, fd):
        folder = small_design()
        try:
            p = folder.run(answers=None if fd == 0 else ANSWERS, preexec=lambda: os.close(fd))
            return p, run_cases.mask(folder.read("Morvenak.out").decode("latin-1"))
        finally:
            folder.remove()

    def test_closed_standard_input_ends_the_dialogue(self):
        p, report = self.run_closed(0)
        self.assertEqual(p.returncode, 2)
        self.assertEqual(first_lines(p.stderr), ["list in: end of file", "apparent state: unit 5 (unnamed)"])
        self.assertNotIn("Name of the file", report)
        self.assertTrue(self.report.startswith(report))

    def test_closed_standard_output_keeps_the_report_clean(self):
        p, report = self.run_closed(1)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(report, self.report)

    def test_closed_error_stream_keeps_the_report_clean(self):
        # The interrupt's message goes to the error stream, wherever that is.
        folder = small_design()
        try:
            proc = subprocess.Popen([Folder.program], cwd=folder.path, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    preexec_fn=lambda: (os.close(2), signal.signal(signal.SIGINT, signal.SIG_DFL)))
            proc.stdin.write(b"files.txt\n")
            proc.stdin.flush()
            seen = b""
            while b"(3) Both 1 and 2\n" not in seen:
                chunk = os.read(proc.stdout.fileno(), 65536)
                self.assertTrue(chunk, "the program ended early")
                seen += chunk
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=60)
            self.assertEqual(proc.returncode, 1)
            report = folder.read("Morvenak.out").decode("latin-1")
            self.assertTrue(report.endswith(" File containing the file names:   files.txt" + " " * 23 + "\n\n"), report)
        finally:
            folder.remove()

    def test_console_that_goes_away_does_not_end_the_run(self):
        folder = small_design()
        try:
            proc = subprocess.Popen([Folder.program], cwd=folder.path, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            proc.stdout.readline()
            proc.stdout.close()  # the reader quits after one line
            _, err = proc.communicate(ANSWERS, timeout=60)
            self.assertEqual((proc.returncode, err), (0, b""))
            self.assertEqual(run_cases.mask(folder.read("Morvenak.out").decode("latin-1")), self.report)
        finally:
            folder.remove()


if __name__ == "__main__":
    main()
