"""A model of terms: the package's table is the command line's results.tsv
for the same model, every number the same double; a model of nested terms
is still the nested design."""

import json
import subprocess

import numpy as np
import pandas as pd

import morvenak
from conftest import DUNE, built_program


def test_a_crossed_model_is_the_command_lines_results_tsv(dune, tmp_path):
    species, env = dune
    args = ["--model", "Management * Use + Condition(A1)", "--covariate", "A1", "--ss", "marginal",
            "--strata", "Moisture", "--permutations", "99", "--transform", "hellinger", "--threads", "1"]
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(DUNE / "dune.csv"),
                    "--labels", str(DUNE / "dune.env.csv"), "--output", str(tmp_path / "out"), "--quiet", *args],
                   check=True, capture_output=True)
    tsv = pd.read_csv(tmp_path / "out" / "results.tsv", sep="\t", keep_default_na=False, dtype=str)
    r = morvenak.analyse(species, "Management * Use + Condition(A1)", data=env, covariates=["A1"], ss="marginal",
                         strata="Moisture", permutations=99, transform="hellinger", threads=1)
    table = r.table
    assert list(table.columns) == list(tsv.columns)
    for column in tsv.columns:
        if column in ("SS", "MS", "F", "P", "R2"):
            expected = np.array([float(v) if v else np.nan for v in tsv[column]])
            assert np.array_equal(table[column].to_numpy(), expected, equal_nan=True), column
        else:
            ours = ["" if pd.isna(v) else str(v) for v in table[column]]
            assert ours == list(tsv[column]), column
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    assert r.to_dict()["rows"] == stored["rows"]
    # Each term's ordination and the residuals', the same figures from both.
    keys = ("title", "term", "axes", "eigenvalues", "proportions")
    assert [{k: o.get(k) for k in keys} for o in r.to_dict()["ordinations"]] == \
        [{k: o.get(k) for k in keys} for o in stored["ordinations"]]
    assert len(stored["ordinations"]) == 4  # Management, Use, Management:Use and the residuals


def test_a_model_of_nested_terms_is_the_nested_design(dune):
    species, env = dune
    by_model = morvenak.analyse(species, "Management + Management:Use", data=env, permutations=99)
    nested = morvenak.analyse(species, "Management", "Use", data=env, permutations=99)
    pd.testing.assert_frame_equal(by_model.table, nested.table)
