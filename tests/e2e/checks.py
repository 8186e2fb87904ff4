"""What the end-to-end scripts of the run command and the tools share: the checks
they count, and the computation times they mask before comparing outputs."""
import re
import shutil

failures = []  # the checks that failed, in order


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


_TIME = r"(Computation time for [^:]*:) *[0-9.]+ sec\."


def report_rows(report):
    """Row label -> the fields of its row in the report's anova table (the stars of the
    P values dropped)."""
    out = {}
    for line in report.split("\n"):
        m = re.match(r" (Anova factor|Main factor|Nested factor|Within groups|Within subgroups|Total)  +(\d.*)$", line)
        if m:
            out[m.group(1)] = m.group(2).replace("*", "").split()
    return out


def masked(text):
    """A report or score file (text or bytes) with its computation times masked."""
    if isinstance(text, bytes):
        return re.sub(_TIME.encode(), rb"\1 <TIME> sec.", text)
    return re.sub(_TIME, r"\1 <TIME> sec.", text)


def finish(folders):
    """The end of a script: 1 with the failures counted and the runs' folders kept
    for a look; else 0, the folders removed."""
    if failures:
        print(f"{len(failures)} check(s) failed; the runs are kept in {', '.join(folders)}")
        return 1
    for f in folders:
        shutil.rmtree(f, ignore_errors=True)
    return 0
