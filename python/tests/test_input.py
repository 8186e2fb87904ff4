"""What analyse() takes: tables matched by name, labels coded in order of
first appearance and read within their parent, and the input it refuses,
with the exact message and the status the command line would give."""

import json
import subprocess

import numpy as np
import pandas as pd
import pytest

import morvenak
from conftest import built_program


def refused(kind, message, call, *args, **kwargs):
    with pytest.raises(kind) as caught:
        call(*args, **kwargs)
    assert caught.value.message == message
    return caught.value


# ---------------------------------------------------------------- what it takes

def test_data_is_matched_by_name_whatever_its_order_and_extra_rows(dune):
    species, env = dune
    straight = morvenak.analyse(species, "Management", nested="Use", data=env, permutations=99)
    extra = pd.DataFrame({"Management": ["XX"], "Use": ["YY"]}, index=[99])
    shuffled = pd.concat([env.iloc[::-1], extra])[["Use", "Management"]]
    other = morvenak.analyse(species, "Management", nested="Use", data=shuffled, permutations=99)
    pd.testing.assert_frame_equal(straight.table, other.table)
    assert [f.levels for f in other.factors] == [f.levels for f in straight.factors]
    # Names compared as text: the index 1 .. 20 of Y matches the names "1" .. "20" of data.
    named = shuffled.rename(index=str)
    pd.testing.assert_frame_equal(straight.table,
                                  morvenak.analyse(species, "Management", nested="Use", data=named,
                                                   permutations=99).table)


def test_labels_given_as_sequences_equal_the_columns_they_come_from(dune):
    species, env = dune
    by_name = morvenak.analyse(species, "Management", nested="Use", data=env, permutations=99)
    by_labels = morvenak.analyse(species.to_numpy(), list(env["Management"]), nested=env["Use"].to_numpy(),
                                 permutations=99)
    assert list(by_labels.table["P"][:2]) == list(by_name.table["P"][:2])
    assert list(by_labels.table["SS"]) == list(by_name.table["SS"])
    assert list(by_labels.table["factor"]) == ["main", "nested1", "", ""]
    series = morvenak.analyse(species, env["Management"], nested=[env["Use"]], permutations=99)
    assert list(series.table["factor"][:2]) == ["Management", "Use"]


def test_a_series_of_labels_is_matched_to_y_by_its_index(dune):
    species, env = dune
    straight = morvenak.analyse(species, env["Management"], nested=env["Use"], permutations=99)
    backwards = env.iloc[::-1]
    shuffled = morvenak.analyse(species, backwards["Management"], nested=backwards["Use"], permutations=99)
    pd.testing.assert_frame_equal(straight.table, shuffled.table)
    # Names compared as text: an integer index matches Y's names "1" .. "20".
    by_number = pd.Series(list(env["Management"]), index=[int(s) for s in env.index], name="Management")
    assert list(morvenak.analyse(species, by_number, permutations=99).table["SS"]) == \
        list(morvenak.analyse(species, "Management", data=env, permutations=99).table["SS"])
    refused(morvenak.InvalidInput, "sample '20' of Y has no label in factor 'Management' (1 of 20 samples missing): "
            "a Series of labels is matched to Y's rows by its index; give labels in Y's order as a list or an "
            "array instead", morvenak.analyse, species, env["Management"].iloc[:-1])


def test_levels_are_numbered_in_order_of_first_appearance(dune):
    species, env = dune
    r = morvenak.analyse(species, "Management", data=env, task="anova", permutations=0)
    assert r.factors[0].levels == ["SF", "BF", "HF", "NM"]
    assert r.factors[0].counts == [6, 3, 5, 6]
    reordered = morvenak.analyse(species.iloc[::-1], "Management", data=env, task="anova", permutations=0)
    assert reordered.factors[0].levels == ["NM", "SF", "BF", "HF"]


def test_nested_labels_are_read_within_their_parent():
    # "p1" and "p2" under site A and under site B are four subgroups, as if
    # they had been named A1, A2, B1, B2.
    rng = np.random.default_rng(3)
    y = rng.poisson(4.0, size=(12, 6)).astype(float)
    site = ["A"] * 6 + ["B"] * 6
    reused = ["p1", "p1", "p1", "p2", "p2", "p2"] * 2
    unique = [s + p for s, p in zip(site, reused)]
    a = morvenak.analyse(y, site, nested=reused, permutations=199)
    b = morvenak.analyse(y, site, nested=unique, permutations=199)
    assert list(a.table["df1"]) == [1, 2, 8, 11]
    assert list(a.table["F"][:2]) == list(b.table["F"][:2])
    assert list(a.table["P"][:2]) == list(b.table["P"][:2])
    assert a.factors[1].levels == ["p1", "p2", "p1", "p2"]
    assert a.factors[1].parents == ["A", "A", "B", "B"]


def test_two_nested_factors_by_name_or_by_labels(dune):
    species, env = dune
    by_name = morvenak.analyse(species, "Moisture", nested=["Use", "Management"], data=env, permutations=49)
    by_labels = morvenak.analyse(species, env["Moisture"], nested=[env["Use"], env["Management"]],
                                 permutations=49)
    assert list(by_name.table["source"]) == ["main", "nested1", "nested2", "within", "total"]
    assert list(by_name.table["factor"][:3]) == ["Moisture", "Use", "Management"]
    assert list(by_labels.table["P"][:3]) == list(by_name.table["P"][:3])


def test_a_model_of_nested_terms_is_the_nested_design_and_bad_models_are_refused(dune):
    species, env = dune
    by_model = morvenak.analyse(species, "Moisture / Use / Management", data=env, permutations=49)
    by_name = morvenak.analyse(species, "Moisture", nested=["Use", "Management"], data=env, permutations=49)
    assert by_model.table.equals(by_name.table)
    with pytest.raises(morvenak.InvalidInput, match=r"covariate 'A1': the model 'Moisture \* Use' has no variable A1"):
        morvenak.analyse(species, "Moisture * Use", data=env, covariates=["A1"])
    with pytest.raises(morvenak.InvalidInput, match=r"the model 'Moisture /', column 11: a variable was expected"):
        morvenak.analyse(species, "Moisture /", data=env)


def test_the_seed_changes_the_draws_and_the_default_is_the_classic_start(dune):
    species, env = dune
    default = morvenak.analyse(species, "Use", data=env, permutations=99, task="anova")
    one = morvenak.analyse(species, "Use", data=env, permutations=99, task="anova", seed=1)
    other = morvenak.analyse(species, "Use", data=env, permutations=99, task="anova", seed=12345)
    assert default.table["P"][0] == one.table["P"][0]
    assert default.table["F"][0] == other.table["F"][0]
    assert default.table["P"][0] != other.table["P"][0]
    assert (default.options["seed_given"], one.options["seed_given"]) == (False, True)


# ---------------------------------------------------------------- what it refuses

def test_non_numeric_y_is_refused(dune):
    species, env = dune
    y = species.copy()
    y["Achimill"] = y["Achimill"].astype(str)
    e = refused(morvenak.InvalidInput, "Y must be numeric: its column 'Achimill' holds non-numeric (object) values",
                morvenak.analyse, y, "Management", data=env)
    assert e.status == 2 and isinstance(e, ValueError)
    refused(morvenak.InvalidInput, "Y must be a numeric array or data frame, not an array of text values",
            morvenak.analyse, np.array([["1", "2"], ["3", "4"]]), ["a", "b"])
    refused(morvenak.InvalidInput, "Y must have two dimensions (samples in rows, species in columns), not 1",
            morvenak.analyse, np.arange(4.0), ["a", "a", "b", "b"])


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_values_that_are_not_finite_are_refused_with_the_engines_message(bad, dune):
    species, env = dune
    y = species.astype(float)
    y.iloc[2, 3] = bad
    e = refused(morvenak.InvalidInput, "Y holds a value that is not a finite number (object 3, species 4)",
                morvenak.analyse, y, "Management", data=env)
    assert e.status == 2


def test_lengths_that_disagree_are_refused(dune):
    species, env = dune
    refused(morvenak.InvalidInput, "factor 'main' has 19 labels for 20 objects",
            morvenak.analyse, species, list(env["Management"])[1:])
    refused(morvenak.InvalidInput, "factor 'Use' has 10 labels for 20 objects",
            morvenak.analyse, species.to_numpy(), list(env["Management"]), nested=env["Use"][:10])
    refused(morvenak.InvalidInput, "'data' has 19 rows for 20 objects (rows of Y)",
            morvenak.analyse, species.to_numpy(), "Management", data=env.iloc[:19])
    refused(morvenak.InvalidInput, "sample '3' of Y is not in 'data': give every sample a row of labels",
            morvenak.analyse, species, "Management", data=env.drop(index=3))


def test_unknown_column_names_are_refused(dune):
    species, env = dune
    refused(morvenak.InvalidInput,
            "'data' has no column 'Managment' (its columns: 'A1', 'Moisture', 'Management', 'Use', 'Manure')",
            morvenak.analyse, species, "Managment", data=env)
    refused(morvenak.InvalidInput,
            "'data' has no column 'use' (its columns: 'A1', 'Moisture', 'Management', 'Use', 'Manure')",
            morvenak.analyse, species, "Management", nested="use", data=env)
    refused(morvenak.InvalidInput,
            "'data' has no column 'Plot' (its columns: 'A1', 'Moisture', 'Management', 'Use', 'Manure')",
            morvenak.analyse, species, "Management", nested=["Use", "Plot"], data=env)
    refused(morvenak.InvalidInput, "'Management' names a column of 'data', but no 'data' was given",
            morvenak.analyse, species, "Management")


def test_a_nested_factor_that_divides_nothing_is_not_nested(dune):
    species, env = dune
    refused(morvenak.InvalidInput,
            "factor 'Again' is not nested in 'Management': it has a single level within each level of "
            "'Management', so it divides none of them into subgroups",
            morvenak.analyse, species, "Management", nested=env["Management"].rename("Again"), data=env)
    cells = (env["Management"] + " " + env["Use"]).rename("cells")
    refused(morvenak.InvalidInput,
            "factor 'Management' is not nested in 'cells': it has a single level within each level of "
            "'cells', so it divides none of them into subgroups",
            morvenak.analyse, species, cells, nested=env["Management"])
    refused(morvenak.InvalidInput, "factor 'main' has a single level ('all'): the main factor needs at least 2",
            morvenak.analyse, species, ["all"] * 20)


def test_the_labels_show_the_nesting_so_a_nested_factor_may_be_no_finer_than_its_parent(dune):
    """Manure within Use within Management: 14 cells in 11, 3 dummy variables against 7.
    The classic files could not be read in that order; the labels nest it."""
    species, env = dune
    r = morvenak.analyse(species, "Management", nested=["Use", "Manure"], data=env, permutations=0)
    assert list(r.table["df1"]) == [3, 7, 3, 6, 19]
    cells = env["Management"] + "/" + env["Use"] + "/" + env["Manure"].astype(str)
    y = species.to_numpy(dtype=float)
    y = y - y.mean(axis=0)
    means = {c: y[(cells == c).to_numpy()].mean(axis=0) for c in set(cells)}
    within = sum(((y[i] - means[c]) ** 2).sum() for i, c in enumerate(cells))
    assert r.table["SS"][3] == pytest.approx(within, rel=1e-12)


def test_missing_and_empty_labels_and_duplicate_names_are_refused(dune):
    species, env = dune
    with_na = env.copy()
    with_na.loc[5, "Use"] = None
    refused(morvenak.InvalidInput, "factor 'Use' has no label (NA) for object 5",
            morvenak.analyse, species, "Management", nested="Use", data=with_na)
    refused(morvenak.InvalidInput, "factor 'main' has an empty label for object 1",
            morvenak.analyse, species, [""] * 10 + ["a"] * 10)
    twice = species.rename(index={2: 1})
    refused(morvenak.InvalidInput, "Y has two samples named '1': names must be unique",
            morvenak.analyse, twice, ["a", "b"] * 10)


def test_pandas_missing_values_are_refused_as_missing(dune):
    """pd.NA of a nullable column, in Y or among a factor's labels."""
    species, env = dune
    y = species.astype("Int64")
    y.iloc[2, 3] = pd.NA
    refused(morvenak.InvalidInput, "Y holds a value that is not a finite number (object 3, species 4)",
            morvenak.analyse, y, "Management", data=env)
    labels = env.assign(Moisture=env["Moisture"].astype("Int64"))
    labels.loc[5, "Moisture"] = pd.NA
    refused(morvenak.InvalidInput, "factor 'Moisture' has no label (NA) for object 5",
            morvenak.analyse, species, "Moisture", data=labels)


def test_the_engine_stops_on_data_it_cannot_analyse(dune):
    species, env = dune
    y = species.copy()
    y.iloc[:, 0] = 0
    e = refused(morvenak.Stopped, "Column sums of 0 are incompatible with this transformation: species 1 sums to 0",
                morvenak.analyse, y, "Management", data=env, transform="chi2-metric")
    assert e.status == 1
    assert e.reason == "zero_column_sums"


def test_a_stop_has_the_words_of_the_command_line(dune, tmp_path):
    """The same stop in the run command and in the package: one message."""
    species, env = dune
    y = species.copy()
    y.iloc[:, 3] = 0
    y.iloc[4, 1] = -1  # a warning met before the stop, shown all the same
    y.to_csv(tmp_path / "zero.csv")
    env.to_csv(tmp_path / "env.csv")
    run = subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", "zero.csv", "--labels",
                          "env.csv", "--main", "Management", "--nested", "Use", "--transform", "chi2-distance",
                          "--output", "out"], cwd=tmp_path, capture_output=True, text=True)
    with pytest.warns(morvenak.MorvenakWarning) as shown, pytest.raises(morvenak.Stopped) as caught:
        morvenak.analyse(y, "Management", nested="Use", data=env, transform="chi2-distance")
    assert run.returncode == caught.value.status == 1
    warned = ["morvenak run: warning: Y holds a negative value (object 5, species 2)"]
    assert run.stderr.splitlines()[:-1] == warned
    assert ["morvenak run: warning: " + str(w.message) for w in shown] == warned
    assert caught.value.warnings == [str(w.message) for w in shown]
    assert run.stderr.splitlines()[-1] == (f"morvenak run: the analysis cannot be done: {caught.value} "
                                           "(nothing was written; the output folder was left as it was)")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["env.csv", "zero.csv"]


def test_the_warnings_are_the_command_lines_in_its_words(dune, tmp_path):
    """Shown as MorvenakWarning where analyse() was called, kept in Result.warnings,
    and the same lines as the run command's standard error and results.json."""
    species, env = dune
    species.to_csv(tmp_path / "dune.csv")
    env.to_csv(tmp_path / "env.csv")
    run = subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", "dune.csv", "--labels",
                          "env.csv", "--main", "Management", "--nested", "Use", "--main-units", "subgroups",
                          "--permutations", "9", "--quiet", "--output", "out"],
                         cwd=tmp_path, capture_output=True, text=True)
    with pytest.warns(morvenak.MorvenakWarning) as shown:
        r = morvenak.analyse(species, "Management", nested="Use", data=env, main_units="subgroups", permutations=9)
    assert run.returncode == 0
    texts = [str(w.message) for w in shown]
    assert len(texts) == 1 and texts[0].startswith('factor "Use" (nested in "Management"): 7 subgroups')
    assert shown[0].filename == __file__  # where the user called it
    assert run.stderr.splitlines() == ["morvenak run: warning: " + t for t in texts]
    assert r.warnings == texts == json.loads((tmp_path / "out" / "results.json").read_text())["warnings"]


def test_a_saturated_design_has_no_within_mean_square_and_r2_at_most_1(dune, tmp_path):
    """Each sample its own level: the within row has no degrees of freedom, so its SS is
    0 and it has no MS; the same rows as the command line's results.json."""
    species, env = dune
    env = env.assign(Plot=["p" + str(s) for s in env.index])
    species.to_csv(tmp_path / "dune.csv")
    env.to_csv(tmp_path / "env.csv")
    run = subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", "dune.csv", "--labels",
                          "env.csv", "--main", "Plot", "--permutations", "9", "--quiet", "--output", "out"],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    with pytest.warns(morvenak.MorvenakWarning):
        r = morvenak.analyse(species, "Plot", data=env, permutations=9)
    rows = json.loads(r.to_json())["rows"]
    assert rows == json.loads((tmp_path / "out" / "results.json").read_text())["rows"]
    within = rows[1]
    assert (within["df1"], within["SS"], within["MS"], within["R2"]) == (0, 0.0, None, 0.0)
    assert within["note"] == "no degrees of freedom within the groups, so no mean square"
    assert all(0.0 <= row["R2"] <= 1.0 for row in rows)


@pytest.mark.parametrize("option, value, message", [
    ("transform", "hell", "'transform' must be one of none, chord, chi2-metric, chi2-distance, profiles, "
                          "hellinger, sqrt, fourth-root, pa, wisconsin, not 'hell'"),
    ("task", "all", "'task' must be one of anova, scores, both, not 'all'"),
    ("distance", "bc", "'distance' must be one of euclidean, chord, hellinger, chisq, bray, jaccard, kulczynski, "
                       "manhattan, canberra, gower, altgower, not 'bc'"),
    ("main_units", "plots", "'main_units' must be one of objects, subgroups, not 'plots'"),
    ("permutations", -1, "'permutations' must be a whole number from 0 to 2147483647"),
    ("permutations", 9.5, "'permutations' must be a whole number from 0 to 2147483647"),
    ("seed", 2 ** 32, "'seed' must be a whole number from 0 to 4294967295"),
    ("seed", True, "'seed' must be a whole number from 0 to 4294967295"),
    ("threads", 0, "'threads' must be a whole number from 1 to 1024"),
])
def test_options_out_of_range_are_refused(option, value, message, dune):
    species, env = dune
    refused(morvenak.InvalidInput, message, morvenak.analyse, species, "Management", data=env, **{option: value})
