"""The package's engine against the library API as CMake builds it, bit for
bit: the same design through morvenak_result_dump, every number compared in
hexadecimal (sums of squares, F, P, counts, eigenvalues and scores, scaled as
asked). The two
builds use different compiler flags; only the absence of contraction and the
same order of operations make them agree."""

import subprocess

import numpy as np
import pandas as pd
import pytest

import morvenak
from conftest import built_program

TRANSFORMS = {"none": 0, "chord": 1, "chi2-metric": 2, "chi2-distance": 3, "profiles": 4, "hellinger": 5}
TASKS = {"anova": 1, "scores": 2, "both": 3}

DESIGNS = {
    "nested hellinger": dict(main="Management", nested="Use", transform="hellinger", permutations=99),
    "one factor, 999": dict(main="Management", transform="none", permutations=999),
    "two nested, chord, seed": dict(main="Moisture", nested=["Use", "Management"], transform="chord",
                                    permutations=199, seed=7),
    # Moisture gives no more dummy variables than Use (7 and 7): the labels show the nesting.
    "no finer than its parent": dict(main="Management", nested=["Use", "Moisture"], permutations=99),
    "subgroups as units": dict(main="Management", nested="Use", transform="profiles", permutations=99,
                               main_units="subgroups"),
    # Categoricals: their categories order the levels, as --levels does.
    "levels given": dict(main="Management", nested="Use", transform="hellinger", permutations=99,
                         levels={"Management": ["NM", "HF", "BF", "SF"], "Use": ["Pasture", "Haypastu", "Hayfield"]}),
    "nested hellinger, scaling 2": dict(main="Management", nested="Use", transform="hellinger", permutations=9,
                                        scaling=2),
}


def dump(y: np.ndarray, env, columns, options, tmp_path, levels=None) -> list:
    (tmp_path / "Y.txt").write_text(f"{y.shape[0]} {y.shape[1]}\n" +
                                    "\n".join(" ".join(repr(float(v)) for v in row) for row in y) + "\n")
    levels = levels or {}
    header = [c + ("=" + ",".join(levels[c]) if c in levels else "") for c in columns]
    lines = ["\t".join(header)] + ["\t".join(str(env[c].iloc[i]) for c in columns) for i in range(len(env))]
    (tmp_path / "labels.txt").write_text("\n".join(lines) + "\n")
    args = [str(built_program("MORVENAK_RESULT_DUMP")), str(tmp_path / "Y.txt"), str(tmp_path / "labels.txt"),
            str(TRANSFORMS[options.get("transform", "none")]), str(options.get("permutations", 999)),
            str(TASKS[options.get("task", "both")]), str(options.get("seed", 1)),
            options.get("main_units", "objects"), str(options.get("scaling", 1))]
    done = subprocess.run(args, capture_output=True, text=True, check=True)
    return done.stdout.splitlines()


def from_hex(text: str) -> float:
    return float.fromhex(text)


@pytest.mark.parametrize("design", sorted(DESIGNS))
def test_the_package_gives_the_bits_of_the_library_built_by_cmake(design, dune, tmp_path):
    species, env = dune
    options = dict(DESIGNS[design])
    main, nested = options.pop("main"), options.pop("nested", [])
    nested = [nested] if isinstance(nested, str) else nested
    levels = options.pop("levels", {})
    data = env.copy()
    for column, order in levels.items():
        data[column] = pd.Categorical(data[column].astype(str), categories=order)
    result = morvenak.analyse(species, main, nested=nested or None, data=data, **options)
    expected = dump(species.to_numpy(dtype=float), env, [main] + nested, options, tmp_path, levels)
    for k, f in enumerate(result.factors):
        if f.name in levels:  # in the categories' order (a nested factor's by parent, then within each)
            above = result.factors[k - 1].levels if k > 0 else []
            keys = [(above.index(p) if k > 0 else 0, levels[f.name].index(label))
                    for label, p in zip(f.levels, f.parents)]
            assert keys == sorted(keys), (f.name, f.levels)

    assert from_hex(expected[0].split()[1]) == result.ssy
    rows = [line.split() for line in expected if line.startswith("row ")]
    table = result.table
    assert [r[1] for r in rows] == list(table["source"])
    for k, r in enumerate(rows):
        source, df1, df2, ss, ms, f, p, count, permutations = r[1:]
        assert int(df1) == table["df1"][k]
        assert from_hex(ss).hex() == float(table["SS"][k]).hex(), (design, source)
        if source != "total":
            assert from_hex(ms).hex() == float(table["MS"][k]).hex(), (design, source)
        if f != "-":
            assert from_hex(f).hex() == float(table["F"][k]).hex(), (design, source)
        if p != "-":
            assert from_hex(p).hex() == float(table["P"][k]).hex(), (design, source)
            assert int(permutations) == table["permutations"][k]
        else:
            assert np.isnan(table["P"][k])
    ordinations = [line for line in expected if not line.startswith(("row ", "ssy "))]
    assert len(ordinations) == 4 * len(result.ordinations)
    for k, o in enumerate(result.ordinations):
        eig, obj, spe, sites = (ordinations[4 * k + j].split()[1:] for j in range(4))
        assert [from_hex(x) for x in eig] == list(o.eigenvalues)
        assert [from_hex(x) for x in obj] == list(np.asarray(o.object_scores).flatten(order="F"))
        assert [from_hex(x) for x in spe] == list(np.asarray(o.species_scores).flatten(order="F"))
        assert o.scaling == options.get("scaling", 1)
        if o.canonical:
            assert [from_hex(x) for x in sites] == list(np.asarray(o.site_scores).flatten(order="F"))
        else:
            assert sites == [] and o.site_scores is None
