#!/usr/bin/env python3
"""End-to-end runs of the companion tools, each in a fresh temporary folder.

  prepare   morvenak-prepare on the dune data: the files written, the exact error
            messages, and that no file is ever overwritten
  plot      morvenak-plot on score files of reference runs, every SVG rendered by
            rsvg-convert
  morvenak  prepared dune files through the program (task 1), the report's verdicts
  scores    the same files through the program (task 3, Hellinger), its score file drawn

Exit status 0 when every check passes, 1 when one fails.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from checks import check, finish, masked

NOBODY = 65534


def run(cmd, cwd, stdin=None, **kw):
    return subprocess.run(cmd, cwd=cwd, input=stdin, capture_output=True, text=True,
                          timeout=120, **kw)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def listing(folder):
    return sorted(os.listdir(folder))


folders = []


def fresh():
    folders.append(tempfile.mkdtemp(prefix="tools_e2e_"))
    return folders[-1]


def copy_dune(args, folder):
    for name in ("dune.csv", "dune.env.csv", "dune.env.cells.csv"):
        shutil.copy(os.path.join(args.data, "dune", name), folder)


def expect_error(args, folder, argv, message, what, status=2, program=None, **kw):
    before = {n: read(os.path.join(folder, n)) for n in listing(folder)
              if os.path.isfile(os.path.join(folder, n))}
    r = run([program or args.prepare] + argv, folder, **kw)
    check(r.returncode == status, f"{what}: exit status {r.returncode}, expected {status}")
    check(r.stderr == "morvenak-prepare: " + message + "\n",
          f"{what}: stderr {r.stderr!r}, expected {message!r}")
    after = {n: read(os.path.join(folder, n)) for n in listing(folder)
             if os.path.isfile(os.path.join(folder, n))}
    check(after == before, f"{what}: the folder changed")


DUNE_CELLS = ["-s", "dune.csv", "-l", "dune.env.cells.csv", "-m", "Management", "-n", "Cell"]


def test_prepare(args):
    expected = os.path.join(args.data, "dune", "expected")

    # The dune design: the files the program reads, as the reference runs used them.
    d = fresh()
    copy_dune(args, d)
    r = run([args.prepare] + DUNE_CELLS, d)
    check(r.returncode == 0, f"dune: exit status {r.returncode}: {r.stderr}")
    check(r.stdout == "20 objects, 30 species: Y.txt\n"
                      "Factor 1, Management: 4 levels, 3 dummy variables: X1.txt\n"
                      "Factor 2, Cell within Management: 11 subgroups, 7 dummy variables: X2.txt\n"
                      "File of file names: files.txt\n", f"dune: stdout {r.stdout!r}")
    for name in ("Y.txt", "X1.txt", "X2.txt"):
        check(read(os.path.join(d, name)) == read(os.path.join(expected, name)),
              f"dune: {name} differs from the reference")
    check(read(os.path.join(d, "files.txt")) == "3\n'Y.txt'\n'X1.txt'\n'X2.txt'\n",
          "dune: files.txt")

    # A second run writes nothing: all outputs are checked before any is written.
    expect_error(args, d, DUNE_CELLS,
                 "Y.txt: the file exists already; nothing was written "
                 "(remove it or choose another output folder or prefix)", "second run")
    d2 = fresh()
    copy_dune(args, d2)
    with open(os.path.join(d2, "X2.txt"), "w") as f:
        f.write("mine\n")
    expect_error(args, d2, DUNE_CELLS,
                 "X2.txt: the file exists already; nothing was written "
                 "(remove it or choose another output folder or prefix)", "one output exists")

    # Output folder and prefix; a tab-separated species table gives the same files.
    with open(os.path.join(d2, "dune.tsv"), "w") as f:
        f.write(read(os.path.join(d2, "dune.csv")).replace(",", "\t").replace('"', ""))
    os.mkdir(os.path.join(d2, "out"))
    r = run([args.prepare, "-s", "dune.tsv", "-l", "dune.env.cells.csv", "-m", "Management",
             "-n", "Cell", "-o", "out", "-p", "dune_"], d2)
    check(r.returncode == 0, f"tsv: exit status {r.returncode}: {r.stderr}")
    check(listing(os.path.join(d2, "out")) ==
          ["dune_X1.txt", "dune_X2.txt", "dune_Y.txt", "dune_files.txt"], "tsv: files written")
    if r.returncode == 0:
        check(read(os.path.join(d2, "out", "dune_Y.txt")) == read(os.path.join(expected, "Y.txt")),
              "tsv: response file differs")
        check(read(os.path.join(d2, "out", "dune_files.txt")) ==
              "3\n'dune_Y.txt'\n'dune_X1.txt'\n'dune_X2.txt'\n", "tsv: file of file names")

    # Use read within Management: Haypastu under SF (plot 1) and under BF (plot 2) are
    # two subgroups, so Use gives the files of the Management-by-Use cells.
    d3 = fresh()
    copy_dune(args, d3)
    os.mkdir(os.path.join(d3, "use"))
    r = run([args.prepare, "-s", "dune.csv", "-l", "dune.env.csv", "-m", "Management", "-n", "Use",
             "-o", "use"], d3)
    check(r.returncode == 0, f"Use in Management: exit status {r.returncode}: {r.stderr}")
    check("Factor 2, Use within Management: 11 subgroups, 7 dummy variables" in r.stdout,
          f"Use in Management: summary {r.stdout!r}")
    for name in ("Y.txt", "X1.txt", "X2.txt"):
        check(os.path.exists(os.path.join(d3, "use", name)) and
              read(os.path.join(d3, "use", name)) == read(os.path.join(expected, name)),
              f"Use in Management: {name} differs from the cells' reference")

    # Faulty tables.
    lines = read(os.path.join(d3, "dune.csv")).split("\n")
    def variant(name, edit):
        rows = list(lines)
        edit(rows)
        with open(os.path.join(d3, name), "w") as f:
            f.write("\n".join(rows))
    variant("ragged.csv", lambda rows: rows.__setitem__(5, rows[5].rsplit(",", 1)[0]))
    expect_error(args, d3, ["-s", "ragged.csv", "-l", "dune.env.csv", "-m", "Management"],
                 "ragged.csv, line 6, column 31: the row has 30 fields, the header has 31",
                 "ragged row")
    variant("letter.csv", lambda rows: rows.__setitem__(3, rows[3].replace(",7,", ",7x,", 1)))
    expect_error(args, d3, ["-s", "letter.csv", "-l", "dune.env.csv", "-m", "Management"],
                 'letter.csv, line 4, column 5 (Alopgeni): "7x" is not a number', "letter")
    # A labelled sample that the species table lacks is left out and counted.
    variant("short.csv", lambda rows: rows.pop(20))
    os.mkdir(os.path.join(d3, "short"))
    r = run([args.prepare, "-s", "short.csv", "-l", "dune.env.csv", "-m", "Management", "-o", "short"], d3)
    check(r.returncode == 0 and "1 sample of dune.env.csv not in the species table ignored\n" in r.stdout,
          f"sample missing from the species table: {r.returncode} {r.stdout!r} {r.stderr!r}")
    write(os.path.join(d3, "env19.csv"), "\n".join(l for l in read(os.path.join(d3, "dune.env.csv")).split("\n")
                                                   if not l.startswith('"5",')))
    expect_error(args, d3, ["-s", "dune.csv", "-l", "env19.csv", "-m", "Management"],
                 'dune.csv, line 6, column 1: sample "5" is not in env19.csv; add its labels there, '
                 "or leave the sample out of dune.csv", "sample missing from the labels")
    expect_error(args, d3, ["-s", "dune.csv", "-l", "dune.env.csv", "-m", "Mangement"],
                 'dune.env.csv, line 1: no column is named "Mangement" (the columns are: '
                 "A1, Moisture, Management, Use, Manure)", "unknown column")
    expect_error(args, d3, ["-s", "dune.csv", "-l", "dune.env.csv", "-m", "Use", "-n", "Management",
                            "-n", "Manure", "-n", "A1"],
                 "4 factor columns were given; the program takes at most 3 (a main factor and "
                 "two nested ones)", "too many factors", status=1)
    # One subgroup per group ("SF2" under "SF", ...): the nested factor adds nothing.
    with open(os.path.join(d3, "env2.csv"), "w") as f:
        env = read(os.path.join(d3, "dune.env.cells.csv")).split("\n")
        f.write("\n".join([env[0] + ',"Twin"'] +
                          [r + "," + r.split(",")[3].replace('"', "") + "2" for r in env[1:] if r]) + "\n")
    expect_error(args, d3, ["-s", "dune.csv", "-l", "env2.csv", "-m", "Management", "-n", "Twin"],
                 "env2.csv, column 8 (Twin): the nested factor gives 0 dummy variables (4 "
                 "subgroups in 4 groups of Management), not more than the 3 of Management; the "
                 "program needs a nested factor to give strictly more", "nesting order")

    prepare_limits(args)
    prepare_names(args)
    prepare_paths(args)
    prepare_usage(args)


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def prepare_limits(args):
    """Tables beyond the program's limits end with status 1, at the row or column
    where the limit is passed; what follows it is never read."""
    d = fresh()
    species = "id," + ",".join(f"s{j}" for j in range(100000)) + "\n"
    write(os.path.join(d, "wide.csv"), species + "a," + "1," * 99999 + "1\n")
    write(os.path.join(d, "lab.csv"), "id,G\n" + "".join(f"o{i},L{i % 3}\n" for i in range(600)))
    expect_error(args, d, ["-s", "wide.csv", "-l", "lab.csv", "-m", "G"],
                 "wide.csv, line 1, column 502: more than 500 species; the program takes at "
                 "most 500", "100,000 species", status=1)
    # 502 samples, then a line that is no table at all.
    write(os.path.join(d, "tall.csv"),
          "id,sp\n" + "".join(f"o{i},1\n" for i in range(502)) + "\0\0\0\n")
    expect_error(args, d, ["-s", "tall.csv", "-l", "lab.csv", "-m", "G"],
                 "tall.csv, line 503, column 1: more than 501 samples; the program takes at most "
                 "501 objects", "502 samples", status=1)
    # The labels table may hold more samples than the program takes: only those of the
    # species table count.
    write(os.path.join(d, "sp.csv"), "id,sp\n" + "".join(f"o{i},1\n" for i in range(20)))
    os.mkdir(os.path.join(d, "twenty"))
    r = run([args.prepare, "-s", "sp.csv", "-l", "lab.csv", "-m", "G", "-o", "twenty"], d)
    check(r.returncode == 0 and "580 samples of lab.csv not in the species table ignored\n" in r.stdout,
          f"600 labelled samples: {r.returncode} {r.stdout!r} {r.stderr!r}")
    write(os.path.join(d, "sp202.csv"), "id,sp\n" + "".join(f"o{i},1\n" for i in range(202)))
    write(os.path.join(d, "lab202.csv"), "id,G\n" + "".join(f"o{i},L{i}\n" for i in range(202)))
    expect_error(args, d, ["-s", "sp202.csv", "-l", "lab202.csv", "-m", "G"],
                 "lab202.csv: the factors need 201 dummy variables in all (G 201); the program "
                 "takes at most 200", "201 dummy variables", status=1)
    # Not beyond any limit but no table: a device of endless NUL bytes.
    expect_error(args, d, ["-s", "/dev/zero", "-l", "lab.csv", "-m", "G"],
                 "/dev/zero, line 1: the file holds a NUL byte; a table is plain text",
                 "/dev/zero as the species table")


def prepare_names(args):
    """Prefixes that the program's reader would take apart are quoted; names it cannot
    read back are refused before anything is read or written."""
    d = fresh()
    copy_dune(args, d)
    r = run([args.prepare] + DUNE_CELLS + ["-p", "2* it's, é "], d)
    check(r.returncode == 0, f"odd prefix: exit status {r.returncode}: {r.stderr}")
    check(read(os.path.join(d, "2* it's, é files.txt")) ==
          "3\n'2* it''s, é Y.txt'\n'2* it''s, é X1.txt'\n'2* it''s, é X2.txt'\n",
          "odd prefix: file of file names")
    expect_error(args, d, DUNE_CELLS + ["-p", "2\nnew"],
                 'the file name "2?newfiles.txt" holds a line end; the program reads each name '
                 "from one line", "prefix with a line end")
    long_prefix = "p" * 71
    expect_error(args, d, DUNE_CELLS + ["-p", long_prefix],
                 f'the file name "{long_prefix}files.txt" has 80 characters; the program reads '
                 "at most 79", "prefix of 71 characters")
    r = run([args.prepare] + DUNE_CELLS + ["-p", "p" * 70], d)
    check(r.returncode == 0, f"prefix of 70 characters: {r.returncode}: {r.stderr}")


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def prepare_paths(args):
    """Output folders that cannot be used end with status 2 and the system's reason."""
    d = fresh()
    copy_dune(args, d)
    os.symlink("loop", os.path.join(d, "loop"))
    expect_error(args, d, DUNE_CELLS + ["-o", "loop/out"],
                 "loop/out: cannot use the folder: Too many levels of symbolic links",
                 "symlink loop")
    expect_error(args, d, DUNE_CELLS + ["-o", "n" * 300],
                 "n" * 300 + ": cannot use the folder: File name too long", "name too long")
    expect_error(args, d, DUNE_CELLS + ["-o", "none"], "none: no such folder", "no folder")
    # Permissions do not bind the superuser: as root, prepare runs as nobody on a copy.
    program, preexec = args.prepare, None
    if os.geteuid() == 0:
        bin_folder = fresh()
        os.chmod(bin_folder, 0o755)
        program = os.path.join(bin_folder, "morvenak-prepare")
        shutil.copy(args.prepare, program)
        os.chmod(program, 0o755)
        os.chmod(d, 0o777)
        preexec = as_nobody
    os.mkdir(os.path.join(d, "locked"))
    os.mkdir(os.path.join(d, "locked", "out"))
    os.chmod(os.path.join(d, "locked"), 0)
    expect_error(args, d, DUNE_CELLS + ["-o", "locked/out"],
                 "locked/out: cannot use the folder: Permission denied", "unsearchable folder",
                 program=program, preexec_fn=preexec)
    os.chmod(os.path.join(d, "locked"), 0o755)
    os.mkdir(os.path.join(d, "readonly"))
    os.chmod(os.path.join(d, "readonly"), 0o555)
    expect_error(args, d, DUNE_CELLS + ["-o", "readonly"],
                 "readonly/Y.txt: cannot write the file: Permission denied; nothing was written",
                 "folder without write permission", program=program, preexec_fn=preexec)
    check(listing(os.path.join(d, "readonly")) == [], "folder without write permission: files")
    # Standard output that cannot be written: the summary is lost, and the run says so.
    with open("/dev/full", "w") as full:
        r = subprocess.run([args.prepare] + DUNE_CELLS, cwd=d, stdout=full,
                           stderr=subprocess.PIPE, text=True, timeout=120)
    check(r.returncode == 2 and r.stderr == "morvenak-prepare: standard output: cannot write "
          "the summary of the run\n", f"/dev/full: {r.returncode} {r.stderr!r}")


def prepare_usage(args):
    """Option errors end with status 2, --help with 0."""
    d = fresh()
    r = run([args.prepare], d)
    check(r.returncode == 2 and r.stderr == "--species is required\n"
          "Run with --help for more information.\n", f"no options: {r.returncode} {r.stderr!r}")
    r = run([args.prepare, "-s", "a", "-l", "b", "-m", "c", "--bogus"], d)
    check(r.returncode == 2 and "--bogus" in r.stderr, f"unknown option: {r.returncode} {r.stderr!r}")
    r = run([args.prepare, "--help"], d)
    check(r.returncode == 0 and "--species" in r.stdout, f"--help: {r.returncode}")
    check(listing(d) == [], "usage: something was written")


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


PLOT_CASES = {
    # case: (SVGs written, ordinations without axes)
    "worked_41_task3": (2, 0),
    "six_task2": (2, 0),
    "two_level_task2": (3, 0),
    "three_level_dfw0_task2": (3, 1),
    "dune_nested_hellinger": (3, 0),
    "nfiles1_task3": (0, 0),
}


def plot_folder(args, folder, expect_svgs, what):
    """Runs morvenak-plot in folder on its FittedSc.out; renders every SVG it writes
    into figures/."""
    r = run([args.plot], folder)
    check(r.returncode == 0, f"{what}: exit status {r.returncode}: {r.stderr}")
    figures = os.path.join(folder, "figures")
    svgs = listing(figures) if os.path.isdir(figures) else []
    check(svgs == [f"ordination-{i}.svg" for i in range(1, expect_svgs + 1)],
          f"{what}: SVG files {svgs}")
    for svg in svgs:
        png = os.path.join(folder, svg[:-4] + ".png")
        rr = run(["rsvg-convert", "-o", png, os.path.join(figures, svg)], folder)
        check(rr.returncode == 0 and rr.stderr == "", f"{what}: rsvg-convert {svg}: {rr.stderr}")
        check(rr.returncode == 0 and png_size(png) == (672, 576), f"{what}: {svg} as PNG")  # 504 x 432 pt at 96 px per inch
    return r


def test_plot(args):
    if shutil.which("rsvg-convert") is None:
        check(False, "rsvg-convert is not installed (scripts/deps.sh installs librsvg2-bin)")
        return
    for case, (svgs, empty) in PLOT_CASES.items():
        d = fresh()
        shutil.copy(os.path.join(args.data, "scores", case, "FittedSc.out"), d)
        r = plot_folder(args, d, svgs, case)
        out = r.stdout.splitlines()
        if svgs + empty == 0:
            check(out == ["FittedSc.out holds no ordination; no figure drawn."], f"{case}: {out}")
            check(listing(d) == ["FittedSc.out"], f"{case}: a folder was made for no figure")
        else:
            check(len(out) == svgs + empty, f"{case}: stdout {out}")
            check(sum("no ordination axes; no figure." in l for l in out) == empty,
                  f"{case}: ordinations without axes")
        if case == "three_level_dfw0_task2":
            check(out[3] == "Ordination 4, Object scores, PCA of unexplained variation "
                            "(residuals): total variance is 0, no ordination axes; no figure.",
                  f"{case}: {out[3]!r}")
            check(out[0] == "Ordination 1, Object scores fitted to the main factor: 1 axis, "
                            "12 samples: figures/ordination-1.svg", f"{case}: {out[0]!r}")
        if svgs:
            # A second run writes nothing.
            figures = os.path.join(d, "figures")
            before = {n: read(os.path.join(figures, n)) for n in listing(figures)}
            os.remove(os.path.join(figures, f"ordination-{svgs}.svg"))
            del before[f"ordination-{svgs}.svg"]
            r2 = run([args.plot], d)
            check(r2.returncode == 2 and r2.stderr == "morvenak-plot: figures/ordination-1.svg: "
                  "the file exists already; nothing was written (remove it or choose another "
                  "output folder or prefix)\n", f"{case}: second run: {r2.stderr!r}")
            after = {n: read(os.path.join(figures, n)) for n in listing(figures)}
            check(after == before, f"{case}: second run changed the SVG files")

    # A damaged score file names the line and column.
    d = fresh()
    text = read(os.path.join(args.data, "scores", "worked_41_task3", "FittedSc.out"))
    with open(os.path.join(d, "FittedSc.out"), "w") as f:
        f.write(text.replace("   -1.00000\n", "   -1.0000x\n", 1))
    r = run([args.plot], d)
    check(r.returncode == 2 and r.stderr ==
          'morvenak-plot: FittedSc.out, line 25, column 2: "-1.0000x" is not a number\n',
          f"damaged file: {r.stderr!r}")
    check(listing(d) == ["FittedSc.out"], "damaged file: something was written")
    r = run([args.plot, "nothing.out"], d)
    check(r.returncode == 2 and r.stderr == "morvenak-plot: nothing.out: cannot open the file\n",
          f"missing file: {r.stderr!r}")


def morvenak_run(args, task, transformation, prefix=""):
    """Prepares the dune files and runs the program on them: the folder, the run and
    the report's text."""
    d = fresh()
    copy_dune(args, d)
    r = run([args.prepare] + DUNE_CELLS + ["-p", prefix], d)
    check(r.returncode == 0, f"prepare: {r.stderr}")
    # The name typed at the program's first question, quoted as in the file of names.
    names = "'" + (prefix + "files.txt").replace("'", "''") + "'"
    answers = f"{names}\n{task}\n{transformation}\n0\n1\n"
    r = run([args.morvenak], d, stdin=answers)
    report = os.path.join(d, "Morvenak.out")
    text = read(report) if os.path.exists(report) else ""
    return d, r, text


ODD_PREFIX = "2* it's, é "


def test_morvenak(args):
    d, r, report = morvenak_run(args, 1, 0)
    check(r.returncode == 0, f"morvenak: exit status {r.returncode}: {r.stderr}")
    lines = report.split("\n")
    for line in (" File containing factor 2:         X2.txt" + " " * 26,
                 " No problem was detected in the orthogonal coding of the dummy variables",
                 " No collinearity detected within factor files",
                 " No collinearity detected among factor files"):
        check(line in lines, f"report lacks {line!r}")
    check("*** " not in report, "report holds a *** message")

    # Names that the program's reader would take apart unquoted ("2*" a repeat count,
    # the blanks, comma and apostrophe ends of names) give the same report, with the names.
    _, r2, odd = morvenak_run(args, 1, 0, ODD_PREFIX)
    check(r2.returncode == 0, f"morvenak, odd names: exit status {r2.returncode}: {r2.stderr}")
    odd_lines = odd.split("\n")
    check(len(odd_lines) == len(lines), "odd names: the report has another length")
    named = [(a, b) for a, b in zip(lines, odd_lines) if a.startswith(" File ")]
    check([b.rstrip() for a, b in named] ==
          [" File containing the file names:   " + ODD_PREFIX + "files.txt",
           " File of response variables:       " + ODD_PREFIX + "Y.txt",
           " File containing factor 1:         " + ODD_PREFIX + "X1.txt",
           " File containing factor 2:         " + ODD_PREFIX + "X2.txt"],
          f"odd names: {named}")
    # The computation time may differ between the two runs.
    def same_part(report_lines):
        return [masked(a)
                for a in report_lines if not a.startswith(" File ")]
    check(same_part(lines) == same_part(odd_lines), "odd names: the reports differ")
    return 0


def test_scores(args):
    # Hellinger-transformed, as in the program's reference run of this design, whose
    # score file is in the test data: the drawings of both must be announced alike.
    d, r, _ = morvenak_run(args, 3, 5)
    check(r.returncode == 0, f"morvenak: exit status {r.returncode}: {r.stderr}")
    scores = os.path.join(d, "FittedSc.out")
    check(os.path.exists(scores), "morvenak wrote no score file")
    out = plot_folder(args, d, 3, "dune scores").stdout
    ref = fresh()
    shutil.copy(os.path.join(args.data, "scores", "dune_nested_hellinger", "FittedSc.out"), ref)
    check(out == run([args.plot], ref).stdout, f"dune scores: {out!r}")
    check("Ordination 2, Object scores fitted to the nested factor: 7 axes, 20 samples: "
          "figures/ordination-2.svg" in out, f"dune scores: {out!r}")
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("part", choices=["prepare", "plot", "morvenak", "scores"])
    p.add_argument("--prepare", required=True)
    p.add_argument("--plot", help="morvenak-plot, needed by the parts plot and scores")
    p.add_argument("--morvenak", help="the program, needed by the parts morvenak and scores")
    p.add_argument("--data", required=True)
    args = p.parse_args()
    args.prepare = os.path.abspath(args.prepare)
    if args.part in ("plot", "scores"):
        if not args.plot:
            p.error(f"{args.part} needs --plot")
        args.plot = os.path.abspath(args.plot)
    if args.part in ("morvenak", "scores"):
        if not args.morvenak:
            p.error(f"{args.part} needs --morvenak")
        args.morvenak = os.path.abspath(args.morvenak)
    status = {"prepare": test_prepare, "plot": test_plot,
              "morvenak": test_morvenak, "scores": test_scores}[args.part](args)
    return finish(folders) or status or 0


if __name__ == "__main__":
    sys.exit(main())
