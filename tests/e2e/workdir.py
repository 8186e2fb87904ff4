"""What the end-to-end scripts share: a fresh working folder with the files of
a run, the program run or started in it, and the command line of a script.
"""
import argparse, os, shutil, signal, subprocess, sys, tempfile, unittest


def interrupts_as_from_a_console():
    # Interrupts reach the program as from a console, even where the test
    # itself was started with them ignored (a background job of a script).
    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Folder:
    """A fresh working folder holding copies of a case's input files and the
    files given (name -> text or bytes; None leaves the name out)."""

    program = None  # the program under test, set by main()

    def __init__(self, case=None, files=None, prefix="morvenak-e2e-"):
        self.path = tempfile.mkdtemp(prefix=prefix)
        if case:
            for name in os.listdir(os.path.join(case, "in")):
                shutil.copy(os.path.join(case, "in", name), self.path)
        for name, text in (files or {}).items():
            if text is not None:
                self.write(name, text)

    def join(self, name):
        return os.path.join(self.path, name)

    def write(self, name, data):
        with open(self.join(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def read(self, name):
        try:
            with open(self.join(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def run(self, answers, program=None, preexec=None, timeout=120, **kw):
        args = dict(cwd=self.path, capture_output=True, timeout=timeout, preexec_fn=preexec)
        if answers is not None:
            args["input"] = answers
        args.update(kw)
        return subprocess.run([program or Folder.program], **args)

    def start(self, answers_fd, preexec_fn=None):
        return subprocess.Popen([Folder.program], cwd=self.path, stdin=answers_fd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=preexec_fn or interrupts_as_from_a_console)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def main():
    """usage: SCRIPT --cmd PROGRAM [unittest arguments]"""
    ap = argparse.ArgumentParser()
    ap.add_argument("--cmd", required=True)
    args, rest = ap.parse_known_args()
    Folder.program = os.path.abspath(args.cmd)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
