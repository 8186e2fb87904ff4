"""What the end-to-end scripts of the run command and the tools share: the checks
they count, and the computation times they mask before comparing outputs."""
import re

failures = []  # the checks that failed, in order


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


_TIME = r"(Computation time for [^:]*:) *[0-9.]+ sec\."


def masked(text):
    """A report or score file (text or bytes) with its computation times masked."""
    if isinstance(text, bytes):
        return re.sub(_TIME.encode(), rb"\1 <TIME> sec.", text)
    return re.sub(_TIME, r"\1 <TIME> sec.", text)
