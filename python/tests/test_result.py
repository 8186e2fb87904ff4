"""The result as a Python user reads it: the table with the columns and empty
cells of results.tsv, the ordinations' scores indexed by name, the JSON of
results.json, the repr, and a table of numpy arrays when pandas is absent."""

import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import morvenak
from conftest import ROOT


@pytest.fixture(scope="module")
def nested(dune):
    species, env = dune
    return morvenak.analyse(species, "Management", nested="Use", data=env, transform="hellinger", permutations=99)


def test_the_table_has_the_columns_and_empty_cells_of_results_tsv(nested):
    t = nested.table
    assert list(t.columns) == ["source", "factor", "df1", "df2", "SS", "MS", "F", "P", "R2", "permutations",
                               "note"]
    assert list(t["source"]) == ["main", "nested1", "within", "total"]
    assert list(t["factor"]) == ["Management", "Use", "", ""]
    assert str(t["df2"].dtype) == "Int64"
    assert t["df2"].tolist()[:2] == [7, 9] and t["df2"].isna().tolist() == [False, False, True, True]
    assert t["F"].isna().tolist() == [False, False, True, True]
    assert t["P"].isna().tolist() == [False, False, True, True]
    assert t["MS"].isna().tolist() == [False, False, False, True]
    assert t["permutations"].tolist() == [99, 99, 0, 0]
    assert t["note"].tolist() == ["", "", "", ""]
    assert t["R2"].tolist() == [ss / nested.ssy for ss in t["SS"]]
    assert t["R2"][3] == 1.0


def test_a_row_without_a_test_says_why(dune):
    species, env = dune
    r = morvenak.analyse(species, "Management", data=env, permutations=0, task="anova")
    assert r.table["permutations"][0] == 0 and np.isnan(r.table["P"][0]) and not np.isnan(r.table["F"][0])
    doc = json.loads(r.to_json())
    assert doc["rows"][0]["P"] is None and doc["rows"][0]["F"] == r.table["F"][0]


def test_ordinations_are_indexed_by_sample_and_species_name(nested, dune):
    species, _ = dune
    assert [o.source for o in nested.ordinations] == ["main", "nested1", "within"]
    first = nested.ordinations[0]
    assert list(first.object_scores.index) == [str(i) for i in species.index]
    assert list(first.species_scores.index) == list(species.columns)
    assert list(first.object_scores.columns) == [f"axis{k + 1}" for k in range(first.axes)]
    assert first.object_scores.shape == (20, first.axes) and first.species_scores.shape == (30, first.axes)
    # Species scores are unit eigenvectors; object scores are Y (transformed, centred) times them.
    u = first.species_scores.to_numpy()
    assert np.allclose(u.T @ u, np.eye(first.axes), atol=1e-12)
    assert np.allclose(first.proportions, first.eigenvalues / (nested.ssy / 19), rtol=1e-12)
    assert first.title == "Object scores fitted to the main factor"


def test_the_json_holds_the_fields_of_results_json(nested, tmp_path):
    doc = json.loads(nested.to_json())
    assert list(doc) == ["program", "version", "options", "design", "ssy", "rows", "warnings", "timings",
                         "ordinations", "lingoes_constant", "main_test"]
    assert doc["version"] == morvenak.__version__
    assert doc["options"]["seed"] == 1 and doc["options"]["seed_given"] is False
    assert doc["options"]["transform"] == "hellinger" and doc["options"]["nested"] == ["Use"]
    assert [r["SS"] for r in doc["rows"]] == nested.table["SS"].tolist()
    assert doc["rows"][2]["df2"] is None and doc["rows"][3]["MS"] is None
    use = doc["design"]["factors"][1]
    assert (use["column"], use["within"], use["dummy_variables"]) == ("Use", "Management", 7)
    assert use["levels"][1] == {"label": "Haypastu", "parent": "BF", "count": 1}
    assert doc["design"]["samples"][1] == {"sample": "2", "Management": "BF", "Use": "Haypastu"}
    assert doc["ordinations"][0]["eigenvalues"] == nested.ordinations[0].eigenvalues.tolist()
    assert doc["main_test"]["units"] == "objects"
    path = tmp_path / "results.json"
    assert nested.to_json(str(path)) == path.read_text()
    with pytest.raises(FileExistsError):
        nested.to_json(str(path))


def test_numbers_that_are_not_finite_are_null_in_the_json_with_a_note():
    # Y constant: SSY is 0, so R2 has no value, and there is no F.
    r = morvenak.analyse(np.ones((6, 3)), ["a", "a", "b", "b", "c", "c"], permutations=9, task="anova")
    doc = json.loads(r.to_json())
    assert [row["R2"] for row in doc["rows"]] == [None, None, None]
    assert doc["rows"][0]["note"].endswith("R2 has no value: the total sum of squares is 0")
    assert np.isnan(r.table["R2"]).all()


def test_the_repr_shows_the_anova_table(nested):
    text = repr(nested)
    lines = text.splitlines()
    assert lines[0] == ("Morvenak: 20 objects, 30 species, transform hellinger, SSY = 10.56213, "
                        "P after 99 permutations")
    assert lines[2].split() == ["Management", "3", "7", "3.16716", "1.05572", "2.42014", "0.03000", "0.2999"]
    assert lines[3].split() == ["Use", "7", "9", "3.05356", "0.43622", "0.90432", "0.65000", "0.2891"]
    assert lines[5].split() == ["total", "19", "10.56213", "1.0000"]


def test_without_pandas_the_table_is_a_dict_of_arrays():
    code = ("import sys; sys.modules['pandas'] = None\n"
            "import morvenak\n"
            "r = morvenak.analyse([[1., 2], [2, 1], [5, 5], [6, 4]], ['x', 'x', 'y', 'y'], permutations=0)\n"
            "t = r.table\n"
            "print(type(t).__name__, list(t), t['df2'].tolist(), t['SS'].tolist())\n"
            "print(type(r.ordinations[0].object_scores).__name__, r.ordinations[0].object_scores.shape)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "dict ['source', 'factor', 'df1', 'df2', 'SS', 'MS', 'F', 'P', 'R2', 'permutations', 'note'] "
        "[2.0, nan, nan] [25.0, 2.0, 27.0]",
        "ndarray (4, 1)",
    ]


def test_the_docstring_examples_and_the_python_page_run(monkeypatch):
    import doctest
    import morvenak._analyse
    import morvenak._result
    for module in (morvenak, morvenak._analyse, morvenak._result):
        failures, tried = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert tried > 0 and failures == 0, module.__name__
    monkeypatch.chdir(ROOT)  # the page reads the example tables from a checkout
    failures, tried = doctest.testfile(str(ROOT / "docs" / "python.md"), module_relative=False,
                                       optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert tried > 10 and failures == 0
