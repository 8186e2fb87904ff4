"""A dissimilarity against scikit-bio: the pseudo-F of a Bray-Curtis analysis
is permanova's on a DistanceMatrix of the same dissimilarities (scipy's), and
that matrix given as distances (its ids matched to data by name) gives the
table of distance="bray" bit for bit. scikit-bio and scipy are test
dependencies: without them these tests fail."""

import json
import subprocess

import pandas as pd
import pytest
from scipy.spatial.distance import braycurtis, canberra, pdist, squareform
from skbio import DistanceMatrix
from skbio.stats.distance import permanova

import morvenak
from conftest import built_program


def bray_curtis(species: pd.DataFrame) -> DistanceMatrix:
    d = squareform(pdist(species.to_numpy(dtype=float), "braycurtis"))
    return DistanceMatrix(d, ids=[str(s) for s in species.index])


def test_bray_curtis_f_is_permanovas_pseudo_f(dune):
    species, env = dune
    ours = morvenak.analyse(species, "Management", data=env, distance="bray", permutations=0).table["F"][0]
    theirs = permanova(bray_curtis(species), env["Management"].astype(str).tolist(), permutations=0)
    assert ours == pytest.approx(float(theirs["test statistic"]), rel=1e-10, abs=0)


def test_distances_given_give_the_table_of_their_dissimilarity_bit_for_bit(dune):
    species, env = dune
    backwards = env.iloc[::-1]
    own = morvenak.analyse(species, "Management", nested="Use", data=env, distance="bray", permutations=99)
    dm = bray_curtis(species)
    frame = pd.DataFrame(dm.data, index=dm.ids, columns=dm.ids).iloc[:, ::-1]  # columns matched by name
    for given in (dm, frame):
        r = morvenak.analyse(distances=given, main="Management", nested="Use", data=backwards, permutations=99)
        pd.testing.assert_frame_equal(r.table, own.table, check_exact=True)
    assert (r.options["distance"], r.p, own.options["distance"]) == ("given", 0, "bray")
    assert "total sum of squares (from distances) = 4.29902" in repr(r)
    scipys = morvenak.analyse(species, "Management", nested="Use", data=env, distance=braycurtis, permutations=99)
    pd.testing.assert_frame_equal(scipys.table, own.table, check_exact=True)
    with pytest.raises(morvenak.InvalidInput, match="scipy's canberra is not our Canberra"):
        morvenak.analyse(species, "Management", data=env, distance=canberra)
    # A square array as Y is a species table.
    assert morvenak.analyse(dm.data, list(env["Management"]), permutations=0).p == 20


def test_mite_on_bray_curtis_gives_the_command_lines_rows(tmp_path):
    """vegan's mite (written by R), Shrub nested in Topo on Bray-Curtis: the rows of
    analyse() and of `morvenak run` are the same numbers, bit for bit."""
    r = subprocess.run(["Rscript", "-e", "data(mite, mite.env, package = 'vegan'); "
                        "write.csv(mite, 'mite.csv'); write.csv(mite.env, 'mite.env.csv')"],
                       cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    run = subprocess.run([str(built_program("MORVENAK_COMMAND")), "run", "--species", "mite.csv", "--labels",
                          "mite.env.csv", "--main", "Topo", "--nested", "Shrub", "--distance", "bray",
                          "--permutations", "99", "--quiet", "--output", "out"],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    species = pd.read_csv(tmp_path / "mite.csv", index_col=0)
    env = pd.read_csv(tmp_path / "mite.env.csv", index_col=0)
    ours = morvenak.analyse(species, "Topo", nested="Shrub", data=env, distance="bray", permutations=99)
    assert json.loads(ours.to_json())["rows"] == json.loads((tmp_path / "out" / "results.json").read_text())["rows"]
