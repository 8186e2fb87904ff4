"""A peer check: for one factor, scikit-bio's PERMANOVA on the Euclidean
distances of the same transformed data gives the same pseudo-F as the
package's F (to 1e-9 relative). scikit-bio is a test dependency: without it
these tests fail."""

import numpy as np
import pytest
from scipy.spatial.distance import pdist, squareform
from skbio import DistanceMatrix
from skbio.stats.distance import permanova

import morvenak


def transformed(y: np.ndarray, transform: str) -> np.ndarray:
    """The transformations of Y as their definitions give them, row by row."""
    if transform == "none":
        return y
    if transform == "chord":
        return y / np.sqrt((y ** 2).sum(axis=1, keepdims=True))
    if transform == "hellinger":
        return np.sqrt(y / y.sum(axis=1, keepdims=True))
    if transform == "profiles":
        return y / y.sum(axis=1, keepdims=True)
    raise ValueError(transform)


def pseudo_f(y: np.ndarray, groups) -> float:
    dm = DistanceMatrix(squareform(pdist(y)), ids=[str(i) for i in range(len(y))])
    return float(permanova(dm, list(groups), permutations=0)["test statistic"])


@pytest.mark.parametrize("transform", ["none", "chord", "hellinger", "profiles"])
@pytest.mark.parametrize("factor", ["Management", "Moisture", "Use"])
def test_one_factor_f_is_permanovas_pseudo_f(transform, factor, dune):
    species, env = dune
    result = morvenak.analyse(species, factor, data=env, transform=transform, permutations=0, task="anova")
    ours = result.table["F"][0]
    theirs = pseudo_f(transformed(species.to_numpy(dtype=float), transform), env[factor].astype(str))
    assert ours == pytest.approx(theirs, rel=1e-9, abs=0)


def test_the_check_tells_other_groupings_apart(dune):
    # The same data grouped otherwise gives another pseudo-F: the comparison
    # above depends on the grouping reaching both tools alike.
    species, env = dune
    y = species.to_numpy(dtype=float)
    ours = morvenak.analyse(species, "Management", data=env, permutations=0, task="anova").table["F"][0]
    shuffled = env["Management"].astype(str).to_numpy()[::-1]
    assert abs(pseudo_f(y, shuffled) - ours) > 1e-3 * ours
