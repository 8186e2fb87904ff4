"""The test of dispersion: the package's figures are those the command line
writes to results.json for the same design, every number the same double."""

import json
import subprocess

import numpy as np

import morvenak
from conftest import DUNE, built_program


def test_the_dispersion_of_management_is_the_command_lines(dune, tmp_path):
    species, env = dune
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(DUNE / "dune.csv"),
                    "--labels", str(DUNE / "dune.env.csv"), "--output", str(tmp_path / "out"), "--quiet",
                    "--main", "Management", "--distance", "bray", "--dispersion", "Management",
                    "--p-adjust", "fdr", "--permutations", "199"],
                   check=True, capture_output=True)
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    expected = stored["dispersion"]
    r = morvenak.analyse(species, "Management", data=env, distance="bray", dispersion="Management",
                         p_adjust="fdr", permutations=199)
    assert r.to_dict()["dispersion"] == expected
    for key in ("dispersion", "bias_adjust", "p_adjust"):
        assert r.to_dict()["options"][key] == stored["options"][key], key
    # The attributes hold the same numbers.
    x = r.dispersion
    assert (x.F, x.P, x.df1, x.df2, x.permutations) == \
        (expected["F"], expected["P"], expected["df1"], expected["df2"], expected["permutations"])
    assert x.levels.to_dict("records") == expected["levels"]
    pairs = x.pairs[["within", "level_a", "level_b", "t", "df", "P", "P_adjusted"]].to_dict("records")
    assert pairs == expected["pairs"]
    assert list(x.distances.index) == [s["sample"] for s in expected["samples"]]
    assert np.array_equal(x.distances.to_numpy(), [s["distance"] for s in expected["samples"]])


def test_the_pairs_of_a_nested_design_are_the_command_lines(dune, tmp_path):
    species, env = dune
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(DUNE / "dune.csv"),
                    "--labels", str(DUNE / "dune.env.csv"), "--output", str(tmp_path / "out"), "--quiet",
                    "--main", "Management", "--nested", "Use", "--pairwise", "Management",
                    "--pairwise", "Use within Management", "--permutations", "99"],
                   check=True, capture_output=True)
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    r = morvenak.analyse(species, "Management", "Use", data=env, permutations=99,
                         pairwise=["Management", "Use within Management"])
    assert r.to_dict()["pairwise"] == stored["pairwise"]
    table = r.pairwise["Use within Management"]
    tested = table[table["permutations"] > 0]
    assert list(tested["P"]) == [p["P"] for p in stored["pairwise"][1]["pairs"] if p["permutations"] > 0]


def test_a_nested_design_and_the_spatial_median_are_the_command_lines(dune, tmp_path):
    # Management's test of its subgroups' medians comes with its samples' own.
    species, env = dune
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(DUNE / "dune.csv"),
                    "--labels", str(DUNE / "dune.env.csv"), "--output", str(tmp_path / "out"), "--quiet",
                    "--main", "Management", "--nested", "Use", "--distance", "bray", "--dispersion", "Management",
                    "--dispersion-centre", "median", "--permutations", "99"],
                   check=True, capture_output=True)
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    r = morvenak.analyse(species, "Management", "Use", data=env, distance="bray", dispersion="Management",
                         dispersion_centre="median", permutations=99)
    assert r.to_dict()["dispersion"] == stored["dispersion"]
    assert r.to_dict()["options"]["dispersion_centre"] == "median"
    units = r.dispersion.units
    assert list(units.distances.index) == [s["sample"] for s in stored["dispersion"]["units"]["samples"]]
    assert "Management's subgroups of Use around its levels' spatial medians" in repr(r)
    nested = morvenak.analyse(species, "Management", "Use", data=env, dispersion="Use", permutations=99)
    assert nested.dispersion.within == "Management" and nested.dispersion.units is None
    assert set(nested.dispersion.pairs["within"]) <= set(nested.dispersion.levels["within"])


def test_the_average_distances_of_the_pairs_are_the_command_lines(dune, tmp_path):
    species, env = dune
    subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", str(DUNE / "dune.csv"),
                    "--labels", str(DUNE / "dune.env.csv"), "--output", str(tmp_path / "out"), "--quiet",
                    "--main", "Management", "--transform", "hellinger", "--pairwise", "Management",
                    "--permutations", "9"], check=True, capture_output=True)
    stored = json.loads((tmp_path / "out" / "results.json").read_text())
    r = morvenak.analyse(species, "Management", data=env, transform="hellinger", pairwise=["Management"],
                         permutations=9)
    assert r.to_dict()["pairwise"] == stored["pairwise"]
    table = r.pairwise_distances["Management"]
    # SF with itself: the mean of the Euclidean distances between its Hellinger rows.
    y = np.sqrt(species.to_numpy() / species.to_numpy().sum(axis=1, keepdims=True))[(env["Management"] == "SF").to_numpy()]
    d = [np.linalg.norm(y[i] - y[j]) for i in range(len(y)) for j in range(i + 1, len(y))]
    first = table.iloc[0]
    assert (first["level_a"], first["level_b"], first["pairs"]) == ("SF", "SF", len(d))
    assert abs(first["mean_distance"] - np.mean(d)) <= 1e-12 * np.mean(d)
