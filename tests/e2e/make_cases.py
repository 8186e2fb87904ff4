#!/usr/bin/env python3
"""Writes the input files and answers of the project's own end-to-end cases
(tests/cases/*_more/). Their expected/ folders are recorded with
run_cases.py --record and checked line by line before they are committed.

Factors are coded with integer weighted Helmert contrasts (nested factors
within each parent group, 0 elsewhere), so sums and cross-products are
exactly 0."""
import os, random, sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases")


def helmert(labels):
    levels = list(dict.fromkeys(labels))
    counts = [labels.count(l) for l in levels]
    cols = []
    for j in range(1, len(levels)):
        before = sum(counts[:j])
        cols.append([counts[j] if levels.index(l) < j else (-before if levels.index(l) == j else 0)
                     for l in labels])
    return cols


def nested(parents, labels):
    cols = []
    for parent in dict.fromkeys(parents):
        idx = [i for i, p in enumerate(parents) if p == parent]
        for col in helmert([labels[i] for i in idx]):
            full = [0] * len(labels)
            for i, v in zip(idx, col):
                full[i] = v
            cols.append(full)
    return cols


def table(rows, ncols):
    return "%d %d\n" % (len(rows), ncols) + "".join(" ".join(str(v) for v in r) + "\n" for r in rows)


def columns(cols, n):
    return table([[c[i] for c in cols] for i in range(n)], len(cols))


def case(group, name, files, answers):
    d = os.path.join(ROOT, group, name, "in")
    os.makedirs(d, exist_ok=True)
    for fname, text in files.items():
        with open(os.path.join(d, fname), "w") as f:
            f.write(text)
    with open(os.path.join(ROOT, group, name, "answers.txt"), "w") as f:
        f.write("".join(str(a) + "\n" for a in answers))


def fofn(*names):
    return "%d\n" % len(names) + "".join(n + "\n" for n in names)


def main():
    rnd = random.Random(7)
    small = "3 3\n1 2 0\n3 0 4\n5 6 1\n"
    # Input: the response file and the transformations.
    case("ours_input", "y_row_split", {"Y.txt": "3 2\n1\n2 9 9\n3 4\n5 6\n", "files.txt": fofn("Y.txt")},
         ["files.txt", 1, 0, 0, 0])
    case("ours_input", "trans3", {"Y.txt": small, "files.txt": fofn("Y.txt")}, ["files.txt", 1, 3, 0, 0])
    case("ours_input", "negative_values",
         {"Y.txt": "3 3\n1 2 3\n4 5 -1\n2 -2 0\n", "files.txt": fofn("Y.txt")}, ["files.txt", 1, 4, 0, 0])
    case("ours_input", "zero_rows_chord",
         {"Y.txt": "4 2\n1 3\n0 0\n2 2\n0 0\n", "files.txt": fofn("Y.txt")}, ["files.txt", 1, 1, 0, 0])
    # A factor file whose rows run over two lines, with a value to ignore.
    main12 = ["a"] * 4 + ["b"] * 4 + ["c"] * 4
    f = helmert(main12) + [[1, -1, 0, 0] * 3]
    lines = "12 3\n"
    for i in range(12):
        row = [c[i] for c in f]
        lines += ("%d %d\n%d\n" % tuple(row)) if i % 3 == 0 else ("%d %d %d 99\n" % tuple(row))
    y12 = table([[rnd.randint(0, 9) for _ in range(2)] for _ in range(12)], 2)
    case("ours_input", "factor_rows_split", {"Y.txt": y12, "F.txt": lines, "files.txt": fofn("Y.txt", "F.txt")},
         ["files.txt", 1, 0, 0, 1])
    # Exactly 200 dummy variables are accepted; with 201 objects df2 is 0 (m = n - 1).
    labels = ["L%d" % i for i in range(201)]
    y201 = table([[rnd.randint(0, 20)] for _ in range(201)], 1)
    case("ours_input", "dummies_200_m_n_minus_1",
         {"Y.txt": y201, "F.txt": columns(helmert(labels), 201), "files.txt": fofn("Y.txt", "F.txt")},
         ["files.txt", 1, 0, 9, 1])
    # With the check off, a column that does not sum to 0 passes unnoticed.
    case("ours_input", "coding_check_off",
         {"Y.txt": "4 1\n2\n0\n-1\n-1\n", "F.txt": "4 1\n1\n1\n-1\n0\n", "files.txt": fofn("Y.txt", "F.txt")},
         ["files.txt", 1, 0, 0, 0])

    # Nested designs.
    parents8 = ["A"] * 4 + ["B"] * 4
    subs8 = ["a1", "a1", "a2", "a2", "b1", "b1", "b2", "b2"]
    x1 = helmert(parents8)
    x2 = nested(parents8, subs8)
    # Objects vary within subgroups, but every subgroup of a main group has the same mean.
    y_main_only = table([[4, 1], [6, 3], [4, 1], [6, 3], [0, 5], [2, 3], [0, 5], [2, 3]], 2)
    case("ours_nested", "nested_explains_nothing",
         {"Y.txt": y_main_only, "F1.txt": columns(x1, 8), "F2.txt": columns(x2, 8),
          "files.txt": fofn("Y.txt", "F1.txt", "F2.txt")}, ["files.txt", 1, 0, 19, 1])
    bad2 = [[1, 1, 1, -1, 0, 0, 0, -2], [1, -1, 0, 0, 1, -1, 0, 0]]
    y8 = table([[rnd.randint(0, 9) for _ in range(3)] for _ in range(8)], 3)
    case("ours_nested", "nested_coding_not_orthogonal",
         {"Y.txt": y8, "F1.txt": columns(x1, 8), "F2.txt": columns(bad2, 8),
          "files.txt": fofn("Y.txt", "F1.txt", "F2.txt")}, ["files.txt", 1, 0, 9, 1])
    # Progress lines of the three-level engine: n x p = 300 gives none, 301 gives 10 and 20.
    p10 = ["A"] * 5 + ["B"] * 5
    s10 = ["a1", "a1", "a2", "a2", "a2", "b1", "b1", "b1", "b2", "b2"]
    t10 = ["x1", "x2", "x3", "x3", "x4", "x5", "x5", "x6", "x7", "x7"]
    files10 = {"F1.txt": columns(helmert(p10), 10), "F2.txt": columns(nested(p10, s10), 10),
               "F3.txt": columns(nested(s10, t10), 10), "files.txt": fofn("Y.txt", "F1.txt", "F2.txt", "F3.txt")}
    files10["Y.txt"] = table([[rnd.randint(0, 5) for _ in range(30)] for _ in range(10)], 30)
    case("ours_nested", "three_level_progress_300", files10, ["files.txt", 1, 0, 25, 1])
    p7 = ["A"] * 3 + ["B"] * 4
    s7 = ["a1", "a2", "a2", "b1", "b1", "b2", "b2"]
    t7 = ["t%d" % i for i in range(7)]
    files7 = {"F1.txt": columns(helmert(p7), 7), "F2.txt": columns(nested(p7, s7), 7),
              "F3.txt": columns(nested(s7, t7), 7), "files.txt": fofn("Y.txt", "F1.txt", "F2.txt", "F3.txt")}
    files7["Y.txt"] = table([[rnd.randint(0, 5) for _ in range(43)] for _ in range(7)], 43)
    case("ours_nested", "three_level_progress_301", files7, ["files.txt", 1, 0, 25, 1])
    # The dune meadow data, Management with Use nested in it: tasks 1 and 2.
    dune = os.path.join(ROOT, "real", "dune_nested_hellinger", "in")
    given = {n: open(os.path.join(dune, n)).read() for n in os.listdir(dune)}
    case("ours_nested", "dune_nested_task1", given, ["files.txt", 1, 0, 999, 1])
    case("ours_nested", "dune_nested_task2_chord", given, ["files.txt", 2, 1, 0])


if __name__ == "__main__":
    main()
