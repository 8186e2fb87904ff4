"""Shared fixtures: the dune tables of the project's tests, the case folders
of the classic program, and the programs that scripts/python-test.sh names
(the library API's result dump and the classic command, built by CMake)."""

import os
import pathlib

import pandas as pd
import pytest

ROOT = pathlib.Path(os.environ.get("MORVENAK_ROOT", pathlib.Path(__file__).resolve().parents[2]))
DUNE = ROOT / "tests" / "tools" / "data" / "dune"
CASES = ROOT / "tests" / "cases" / "real"


def built_program(variable: str) -> pathlib.Path:
    """A program that CMake built, named by an environment variable; its
    absence fails the test that needs it (run scripts/python-test.sh)."""
    value = os.environ.get(variable)
    if not value or not os.access(value, os.X_OK):
        pytest.fail(f"{variable} must name the built program (scripts/python-test.sh sets it)")
    return pathlib.Path(value)


@pytest.fixture(scope="session")
def dune():
    """The dune species table (20 samples x 30 species) and its environment table."""
    species = pd.read_csv(DUNE / "dune.csv", index_col=0)
    env = pd.read_csv(DUNE / "dune.env.csv", index_col=0)
    return species, env
