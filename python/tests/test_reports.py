"""The package's numbers against the classic program's reports on the same
design: the reports stored with the end-to-end cases, and reports that the
built classic command writes now. df exactly; SS, MS, F and P to the
report's printed digits."""

import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

import morvenak
from conftest import CASES, built_program

# case folder -> the analysis its answers ask for, on the dune tables
CASES_RUN = {
    "dune_nested_hellinger": dict(main="Management", nested="Use", transform="hellinger", permutations=99),
    "dune_management_task1": dict(main="Management", transform="none", permutations=999, task="anova"),
}
# Runs of the built command on a case's input files with other answers
# (files, task, transformation, permutations, coding check): the defaults.
LIVE_RUNS = {
    "nested, defaults": ("dune_nested_hellinger", "files.txt\n3\n0\n999\n1\n",
                         dict(main="Management", nested="Use")),
    "one factor, defaults": ("dune_management_task1", "files.txt\n3\n0\n999\n1\n", dict(main="Management")),
}
LABELS = {"Anova factor": "main", "Main factor": "main", "Nested factor": "nested1",
          "Within groups": "within", "Within subgroups": "within", "Total": "total"}
ROW = re.compile(r"^ (Anova factor|Main factor|Nested factor|Within groups|Within subgroups|Total)\s+(\d.*)$")


def report_rows(text: str) -> dict:
    """The anova table of a classic report: source -> its printed fields."""
    rows = {}
    for line in text.splitlines():
        m = ROW.match(line)
        if m:
            rows[LABELS[m.group(1)]] = m.group(2).replace("*", "").split()
    return rows


def classic_matrix(path: pathlib.Path) -> np.ndarray:
    words = path.read_text().split()
    n, p = int(words[0]), int(words[1])
    return np.array(words[2:2 + n * p], dtype=float).reshape(n, p)


def check_against(rows: dict, result: morvenak.Result) -> None:
    table = result.table
    assert list(table["source"]) == list(rows)
    for k, source in enumerate(table["source"]):
        fields = rows[source]
        assert int(fields[0]) == table["df1"][k], source
        if source in ("main", "nested1"):
            df2, ss, ms, f, p = fields[1:]
            assert int(df2) == table["df2"][k]
            assert (f"{table['F'][k]:.5f}", f"{table['P'][k]:.5f}") == (f, p), source
        elif source == "within":
            ss, ms = fields[1:]
        else:
            (ss,) = fields[1:]
        assert f"{table['SS'][k]:.5f}" == ss, source
        if source != "total":
            assert f"{table['MS'][k]:.5f}" == ms, source


def analyse_case(name: str, dune) -> morvenak.Result:
    species, env = dune
    return morvenak.analyse(species, data=env, **CASES_RUN[name])


@pytest.mark.parametrize("name", sorted(CASES_RUN))
def test_the_case_is_this_design(name, dune):
    # The case's Y is the dune table, and its factor files group the samples
    # as the labels do (a nested file's rows within the parent's level).
    species, env = dune
    folder = CASES / name / "in"
    assert np.array_equal(classic_matrix(folder / "Y.txt"), species.to_numpy(dtype=float))
    result = analyse_case(name, dune)
    parent = [()] * len(env)
    for k, factor in enumerate(result.factors):
        rows = [tuple(r) for r in classic_matrix(folder / f"F{k + 1}.txt")]
        keys = list(zip(parent, rows))
        for i in range(len(rows)):
            for j in range(len(rows)):
                same_level = factor.labels[i] == factor.labels[j] and parent[i] == parent[j]
                assert same_level == (keys[i] == keys[j]), (factor.name, i, j)
        parent = [p + (lab,) for p, lab in zip(parent, factor.labels)]


@pytest.mark.parametrize("name", sorted(CASES_RUN))
def test_numbers_are_those_of_the_stored_report(name, dune):
    text = (CASES / name / "expected" / "Morvenak.out").read_text(encoding="latin-1")
    result = analyse_case(name, dune)
    check_against(report_rows(text), result)
    assert f"(SSY) = {result.ssy:18.5f}" in text


def run_command(folder: str, answers: bytes, tmp_path: pathlib.Path) -> str:
    command = built_program("MORVENAK_COMMAND")
    shutil.copytree(CASES / folder / "in", tmp_path, dirs_exist_ok=True)
    subprocess.run([str(command)], input=answers, cwd=tmp_path, check=True, capture_output=True)
    return (tmp_path / "Morvenak.out").read_text(encoding="latin-1")


@pytest.mark.parametrize("name", sorted(CASES_RUN))
def test_numbers_are_those_the_built_command_reports_now(name, dune, tmp_path):
    text = run_command(name, (CASES / name / "answers.txt").read_bytes(), tmp_path)
    check_against(report_rows(text), analyse_case(name, dune))


@pytest.mark.parametrize("run", sorted(LIVE_RUNS))
def test_defaults_are_those_of_the_command(run, dune, tmp_path):
    folder, answers, options = LIVE_RUNS[run]
    text = run_command(folder, answers.encode(), tmp_path)
    species, env = dune
    result = morvenak.analyse(species, data=env, **options)
    check_against(report_rows(text), result)
    assert f"(SSY) = {result.ssy:18.5f}" in text
