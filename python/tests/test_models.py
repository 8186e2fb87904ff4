"""A model of terms: the package's table is the command line's results.tsv
for the same model, every number the same double; a model of nested terms
is still the nested design."""

import json
import subprocess

import numpy as np
import pandas as pd
import pytest

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


def _b_within_a(seed):
    """A balanced design: 3 levels of A, 4 levels of B in each (named apart),
    3 samples in each B level, one response."""
    rng = np.random.default_rng(seed)
    a = np.repeat(["a1", "a2", "a3"], 12)
    b = np.array([f"{x}b{k}" for x in ("a1", "a2", "a3") for k in range(4) for _ in range(3)])
    y = rng.normal(size=(36, 1)) + np.repeat(rng.normal(size=12), 3)[:, None] + np.repeat([0.0, 1.0, 2.0], 12)[:, None]
    return y, pd.DataFrame({"A": a, "B": b})


def test_a_random_factor_nested_in_a_fixed_one_is_tested_over_its_mean_square():
    y, data = _b_within_a(20240611)
    r = morvenak.analyse(y, "A / B", data=data, random=["B"], permutations=99, seed=7, threads=1)
    assert r.mixed and r.restricted
    t = r.table.set_index("term")
    ms = t["SS"] / t["df1"]
    a_row, b_row = t.index[0], t.index[1]
    assert t.loc[a_row, "denominator"].startswith("MS(")
    assert abs(t.loc[a_row, "F"] - ms[a_row] / ms[b_row]) <= 1e-10 * t.loc[a_row, "F"]
    # The same ratio from the data's own means.
    v = y[:, 0]
    grand = v.mean()
    a_mean = pd.Series(v).groupby(data["A"]).transform("mean").to_numpy()
    b_mean = pd.Series(v).groupby(data["B"]).transform("mean").to_numpy()
    ms_a = ((a_mean - grand) ** 2).sum() / 2
    ms_b = ((b_mean - a_mean) ** 2).sum() / 9
    ms_w = ((v - b_mean) ** 2).sum() / 24
    assert abs(t.loc[a_row, "F"] - ms_a / ms_b) <= 1e-10 * (ms_a / ms_b)
    assert t.loc[a_row, "df2"] == 9
    assert abs(t.loc[b_row, "F"] - ms_b / ms_w) <= 1e-10 * (ms_b / ms_w)
    assert t.loc[b_row, "random"] and not t.loc[a_row, "random"]
    assert abs(t.loc[b_row, "component"] - (ms_b - ms_w) / 3) <= 1e-10 * abs(ms_b - ms_w)
    # A nested model without random factors is still the classic nested design.
    assert not morvenak.analyse(y, "A / B", data=data, permutations=0).mixed
    with pytest.raises(morvenak.Error, match="not balanced"):
        morvenak.analyse(y[1:], "A / B", data=data.iloc[1:].reset_index(drop=True), random=["B"], restricted=True,
                         permutations=9)


# The balanced design, unrestricted; and with A's third level keeping one
# sample of each of its B levels, A over 0.92 MS(B within A) + 0.08
# MS(Residual) on Satterthwaite's degrees of freedom, its nested factor made
# random by denominator="ems".
@pytest.mark.parametrize("kept, args, kwargs", [
    (slice(None), ["--random", "B", "--unrestricted"], {"random": ["B"], "unrestricted": True}),
    (list(range(25)) + [27, 30, 33], ["--denominator", "ems"], {"denominator": "ems"}),
])
def test_a_mixed_model_is_the_command_lines_results_tsv(tmp_path, kept, args, kwargs):
    y, data = _b_within_a(7)
    y, data = y[kept], data.iloc[kept].reset_index(drop=True)
    data.index = [f"s{i}" for i in range(len(data))]
    pd.DataFrame(y, index=data.index, columns=["sp"]).to_csv(tmp_path / "y.csv")
    data.to_csv(tmp_path / "labels.csv")
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(tmp_path / "y.csv"),
                    "--labels", str(tmp_path / "labels.csv"), "--output", str(tmp_path / "out"), "--quiet",
                    "--model", "A / B", *args, "--permutations", "99", "--threads", "1"],
                   check=True, capture_output=True)
    tsv = pd.read_csv(tmp_path / "out" / "results.tsv", sep="\t", keep_default_na=False, dtype=str)
    r = morvenak.analyse(y, "A / B", data=data, permutations=99, threads=1, **kwargs)
    assert r.mixed and not r.restricted and r.balanced == (len(data) == 36)
    assert list(r.table.columns) == list(tsv.columns)
    for column in tsv.columns:
        if column in ("df2", "SS", "MS", "F", "P", "R2", "component", "sqrt_component"):
            expected = np.array([float(v) if v else np.nan for v in tsv[column]])
            assert np.array_equal(r.table[column].astype(float).to_numpy(), expected, equal_nan=True), column
        else:
            words = {True: "yes", False: "no"}
            ours = ["" if v is None or v is pd.NA else words.get(v, str(v)) if isinstance(v, bool) else str(v)
                    for v in r.table[column]]
            assert ours == list(tsv[column]), column
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    assert r.to_dict()["rows"] == stored["rows"]
