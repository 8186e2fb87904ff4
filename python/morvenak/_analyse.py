"""morvenak.analyse: Python's tables in, the engine's analysis out.

This module turns Y (or a matrix of dissimilarities) and the factors, as a
Python user holds them, into what the engine takes (a float64 matrix and one
list of labels per factor), checks
what the engine cannot name in the user's terms (column names, missing
labels, factors that divide nothing), and hands the rest to the engine, whose
own messages come back as the package's exceptions. The result is built in
_result.py.
"""

import sys
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _engine
from ._errors import Error, InvalidInput, MorvenakWarning
from ._result import EUCLIDEAN, Result

try:  # pandas is optional: without it, Y and the factors are arrays and lists
    import pandas as pd
except ImportError:  # pragma: no cover - exercised on machines without pandas
    pd = None

TRANSFORMS = {"none": 0, "chord": 1, "chi2-metric": 2, "chi2-distance": 3, "profiles": 4, "hellinger": 5,
              "sqrt": 6, "fourth-root": 7, "pa": 8, "wisconsin": 9}
# The dissimilarities the engine computes from Y, by its own names.
DISSIMILARITIES = ("bray", "jaccard", "kulczynski", "manhattan", "canberra", "gower", "altgower")
DISTANCES = tuple(EUCLIDEAN) + DISSIMILARITIES
# scipy.spatial.distance's functions whose definitions are ours on the data
# we take (Bray-Curtis: values of 0 or more).
SCIPY_DISTANCES = {"braycurtis": "bray", "cityblock": "manhattan"}
TASKS = {"anova": 1, "scores": 2, "both": 3}
MAIN_UNITS = ("objects", "subgroups")
SOURCES = ("main", "nested1", "nested2")

FactorLike = Union[str, Sequence[Any]]


def _is_frame(x: Any) -> bool:
    return pd is not None and isinstance(x, pd.DataFrame)


def _is_series(x: Any) -> bool:
    return pd is not None and isinstance(x, pd.Series)


def _whole(name: str, value: Any, low: int, high: int) -> int:
    """An integer option within [low, high], or InvalidInput naming it."""
    ok = isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))
    if not ok and isinstance(value, (float, np.floating)) and float(value).is_integer():
        value, ok = int(value), True
    if not ok or not low <= int(value) <= high:
        raise InvalidInput(f"'{name}' must be a whole number from {low} to {high}")
    return int(value)


def _choice(name: str, value: Any, choices: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise InvalidInput(f"'{name}' must be one of {', '.join(choices)}, not {value!r}")
    return value


def _kind(dtype: Any) -> str:
    """A dtype in words, for a message."""
    kind = getattr(dtype, "kind", "O")
    words = {"U": "text", "S": "text", "b": "logical", "c": "complex", "M": "date", "m": "time"}
    return words.get(kind, f"non-numeric ({dtype})")


def _response(Y: Any) -> Tuple[np.ndarray, Optional[List[str]], Optional[List[str]]]:
    """Y as an n x p float64 matrix, with its sample and species names (None
    for an array)."""
    if _is_frame(Y):
        for column in Y.columns:
            dtype = Y[column].dtype
            if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
                raise InvalidInput(f"Y must be numeric: its column '{column}' holds {_kind(dtype)} values")
        samples = [str(s) for s in Y.index]
        species = [str(s) for s in Y.columns]
        for what, names in (("samples", samples), ("species", species)):
            seen = set()
            for name in names:
                if name in seen:
                    raise InvalidInput(f"Y has two {what} named '{name}': names must be unique")
                seen.add(name)
        # A missing value of a nullable column (pd.NA) becomes NaN, which the
        # engine refuses as it refuses any value that is not finite.
        return Y.to_numpy(dtype=np.float64, na_value=np.nan), samples, species
    y = np.asarray(Y)
    if y.dtype.kind not in "iuf":
        raise InvalidInput(f"Y must be a numeric array or data frame, not an array of {_kind(y.dtype)} values")
    if y.ndim != 2:
        raise InvalidInput(f"Y must have two dimensions (samples in rows, species in columns), not {y.ndim}")
    return y.astype(np.float64, copy=False), None, None


def _distance_name(distance: Any) -> str:
    """The name of a dissimilarity, given by name or as one of scipy's
    functions that compute it as we do."""
    if isinstance(distance, str):
        return _choice("distance", distance, DISTANCES)
    scipy_distance = sys.modules.get("scipy.spatial.distance")
    if callable(distance) and scipy_distance is not None:
        for function, name in SCIPY_DISTANCES.items():
            if distance is getattr(scipy_distance, function, None):
                return name
        if distance is getattr(scipy_distance, "canberra", None):
            raise InvalidInput("scipy's canberra is not our Canberra dissimilarity (ours divides the sum by the "
                               "number of species present in either sample): give distance=\"canberra\", or "
                               "scipy's matrix as distances=")
        if distance is getattr(scipy_distance, "jaccard", None):
            raise InvalidInput("scipy's jaccard counts the species whose values differ, where ours of abundances "
                               "is 2B / (1 + B) of the Bray-Curtis B; of presences they agree: give "
                               "distance=\"jaccard\", binary=True")
    what = (f"{getattr(distance, '__module__', None) or ''}.{distance.__name__}".lstrip(".")
            if callable(distance) and hasattr(distance, "__name__") else repr(distance))
    raise InvalidInput(f"'distance' must be one of {', '.join(DISTANCES)}, or scipy's braycurtis or cityblock, "
                       f"not {what}: give any other dissimilarity as a matrix, distances=")


def _is_distance_matrix(x: Any) -> bool:
    """A scikit-bio DistanceMatrix (or DissimilarityMatrix); scikit-bio is
    loaded when the caller holds one."""
    skbio = sys.modules.get("skbio.stats.distance")
    return skbio is not None and isinstance(x, skbio.DissimilarityMatrix)


def _distances(D: Any) -> Tuple[np.ndarray, Optional[List[str]]]:
    """The dissimilarities as an n x n float64 matrix, with the samples'
    names: a scikit-bio DistanceMatrix's ids, a DataFrame's index (its
    columns the same names, in any order), none for an array."""
    names: Optional[List[str]] = None
    if _is_distance_matrix(D):
        names = [str(i) for i in D.ids]
        d = np.asarray(D.data)
    elif _is_frame(D):
        names = [str(s) for s in D.index]
        columns = [str(s) for s in D.columns]
        if len(set(names)) != len(names):
            raise InvalidInput("the distances' index names a sample twice: names must be unique")
        if sorted(columns) != sorted(names):
            stray = next((c for c in columns if c not in set(names)), None)
            stray = stray if stray is not None else next(s for s in names if s not in set(columns))
            raise InvalidInput(f"the distances' columns and index name other samples ('{stray}' is in one, not the "
                               "other): the matrix is square, its columns the samples of its rows")
        where = {c: k for k, c in enumerate(columns)}
        for column in D.columns:
            if not pd.api.types.is_numeric_dtype(D[column].dtype) or pd.api.types.is_bool_dtype(D[column].dtype):
                raise InvalidInput(f"the distances must be numbers: column '{column}' holds "
                                   f"{_kind(D[column].dtype)} values")
        d = D.to_numpy(dtype=np.float64, na_value=np.nan)[:, [where[s] for s in names]]
    else:
        d = np.asarray(D)
        if d.dtype.kind not in "iuf":
            raise InvalidInput("'distances' must be a scikit-bio DistanceMatrix, a square data frame or a square "
                               f"numeric array, not an array of {_kind(d.dtype)} values")
    if d.ndim != 2 or d.shape[0] != d.shape[1]:
        raise InvalidInput(f"'distances' must be square (n x n), not of shape {d.shape}")
    return d.astype(np.float64, copy=False), names


def _data_rows(data: Any, n: int, samples: Optional[List[str]]) -> Any:
    """The rows of `data` for the samples of Y: matched by name (as text)
    when Y has names, in order when it is an array."""
    if not _is_frame(data):
        raise InvalidInput("'data' must be a pandas DataFrame indexed by sample name")
    if samples is None:
        if len(data) != n:
            raise InvalidInput(f"'data' has {len(data)} rows for {n} objects (rows of Y)")
        return data
    names = [str(s) for s in data.index]
    where: Dict[str, int] = {}
    for k, name in enumerate(names):
        if name in where:
            raise InvalidInput(f"'data' has two rows named '{name}': sample names must be unique")
        where[name] = k
    rows = []
    for name in samples:
        if name not in where:
            raise InvalidInput(f"sample '{name}' of Y is not in 'data': give every sample a row of labels")
        rows.append(where[name])
    return data.iloc[rows]


def _missing(label: Any) -> bool:
    if label is None:
        return True
    if pd is not None:
        try:
            return bool(pd.isna(label))
        except (TypeError, ValueError):
            return False
    return isinstance(label, float) and label != label


def _text(value: Any) -> str:
    """A value of `data` as text, as a label is read; a missing one empty."""
    return "" if _missing(value) else str(value)


def _aligned(series: Any, name: str, samples: List[str]) -> List[Any]:
    """A Series' labels for the samples of Y, matched on its index by name
    (names compared as text, as the command line matches its tables); it may
    hold other samples, in any order."""
    where: Dict[str, int] = {}
    for k, key in enumerate(series.index):
        text = str(key)
        if text in where:
            raise InvalidInput(f"factor '{name}' has two labels for sample '{text}': its index must name each "
                               "sample once")
        where[text] = k
    missing = [s for s in samples if s not in where]
    if missing:
        raise InvalidInput(f"sample '{missing[0]}' of Y has no label in factor '{name}' ({len(missing)} of "
                           f"{len(samples)} samples missing): a Series of labels is matched to Y's rows by its "
                           "index; give labels in Y's order as a list or an array instead")
    return [series.iloc[where[s]] for s in samples]


def _categories(values: Any) -> List[str]:
    """The order of a pandas Categorical's levels (its categories, as text),
    or [] for labels of any other kind (first appearance)."""
    dtype = getattr(values, "dtype", None)
    if getattr(dtype, "name", None) != "category":
        return []
    return [str(c) for c in dtype.categories]


def _factor(given: FactorLike, source: str, rows: Any, n: int,
            samples: Optional[List[str]] = None) -> Tuple[str, List[str], List[str]]:
    """A factor's name, labels and the order of its levels, from a column
    name of `data` or labels; a pandas Series is matched to Y's samples by
    its index when Y has names."""
    if isinstance(given, str):
        if rows is None:
            raise InvalidInput(f"'{given}' names a column of 'data', but no 'data' was given")
        if given not in rows.columns:
            columns = ", ".join(f"'{c}'" for c in rows.columns)
            raise InvalidInput(f"'data' has no column '{given}' (its columns: {columns})")
        name, values, order = given, list(rows[given]), _categories(rows[given])
    else:
        order = _categories(given)
        if _is_series(given) and given.name is not None:
            name = str(given.name)
        else:
            name = source
        values = _aligned(given, name, samples) if _is_series(given) and samples is not None else list(given)
    if len(values) != n:
        raise InvalidInput(f"factor '{name}' has {len(values)} labels for {n} objects")
    labels = []
    for i, value in enumerate(values):
        if _missing(value):
            raise InvalidInput(f"factor '{name}' has no label (NA) for object {i + 1}")
        label = str(value)
        if not label:
            raise InvalidInput(f"factor '{name}' has an empty label for object {i + 1}")
        labels.append(label)
    return name, labels, order


def _nested_factors(nested: Any, rows: Any) -> List[FactorLike]:
    """`nested` as a list of factors: None, a column name, a list of column
    names, one factor's labels, or a list of factors' labels."""
    if nested is None:
        return []
    if isinstance(nested, str) or _is_series(nested) or isinstance(nested, np.ndarray):
        return [nested]
    items = list(nested)
    # Strings are column names unless they are as many as the samples.
    if rows is not None and items and all(isinstance(i, str) for i in items) and len(items) != len(rows):
        return items
    if items and all(not isinstance(i, str) and hasattr(i, "__len__") for i in items):
        return items
    return [nested]


def _divides(labels: List[List[str]], names: List[str]) -> None:
    """Refuses a factor that divides nothing: a main factor of one level, or
    a nested factor with a single level within each level of its parent."""
    if len(set(labels[0])) < 2:
        raise InvalidInput(f"factor '{names[0]}' has a single level ('{labels[0][0]}'): "
                           "the main factor needs at least 2")
    for k in range(1, len(labels)):
        within: Dict[Tuple[str, ...], set] = {}
        for i in range(len(labels[k])):
            parent = tuple(labels[j][i] for j in range(k))
            within.setdefault(parent, set()).add(labels[k][i])
        if all(len(s) == 1 for s in within.values()):
            raise InvalidInput(f"factor '{names[k]}' is not nested in '{names[k - 1]}': it has a single level "
                               f"within each level of '{names[k - 1]}', so it divides none of them into subgroups")


def _warn(texts: Sequence[str]) -> None:
    """The analysis' warnings, shown where the user called analyse()."""
    for text in texts:
        warnings.warn(text, MorvenakWarning, stacklevel=3)


def analyse(Y: Any = None, main: FactorLike = None, nested: Optional[Any] = None, data: Any = None,
            transform: str = "none", permutations: int = 999, task: Optional[str] = None, seed: Optional[int] = None,
            threads: Optional[int] = None, main_units: str = "objects", exact: bool = False,
            distance: Any = "euclidean", binary: bool = False, sqrt_dist: bool = False,
            distances: Any = None, correction: str = "none", residual_axes: Optional[int] = None,
            covariates: Optional[Sequence[str]] = None, ss: str = "sequential", strata: Optional[FactorLike] = None,
            random: Optional[Sequence[str]] = None, fixed: Optional[Sequence[str]] = None,
            unrestricted: bool = False, restricted: bool = False, denominator: str = "classic",
            dispersion: Optional[str] = None, bias_adjust: bool = False, dispersion_centre: str = "centroid",
            p_adjust: str = "holm",
            pairwise: Optional[Sequence[str]] = None, scaling: int = 1) -> Result:
    """Nested multivariate analysis of variance of Y by redundancy analysis,
    or of a dissimilarity between the samples.

    Parameters
    ----------
    Y : 2-D numpy array or pandas DataFrame
        Samples in rows, species in columns. A DataFrame's index gives the
        sample names and its columns the species names. A square Y is a
        species table too: give dissimilarities as `distances`.
    main : str or sequence
        The main factor: a column name of `data`, or one label per sample;
        or the design in the model language, its factors columns of `data`:
        "Management / Use" is Use nested in Management, as
        main="Management", nested="Use"; any other model ("A * B",
        "A + B + A:B", "Condition(X) + A") is a model of terms, analysed
        with task "anova": a row for each term.
        A pandas Series of labels is matched to Y's samples by its index
        when Y is a DataFrame (names compared as text: 1 matches "1"); a
        list or an array is taken in Y's order.
    nested : str, sequence, or list of these, optional
        Up to two factors nested in the main factor, in nesting order: a
        column name, a list of column names, one factor's labels, or a list
        of two factors' labels. A nested factor's labels are read within its
        parent's level: "plot 1" under site A and under site B are two
        subgroups.
    data : pandas DataFrame, optional
        The factors' columns, indexed by sample name. When Y is a DataFrame
        its samples are looked up by name (names compared as text: 1 matches
        "1"; other rows are ignored); when Y is an array, the rows of `data`
        are taken in order.
    transform : {"none", "chord", "chi2-metric", "chi2-distance", "profiles", "hellinger", "sqrt", \
"fourth-root", "pa", "wisconsin"}
        The transformation of Y, before any dissimilarity.
    permutations : int
        Permutations of each test (0: no test).
    task : {"both", "anova", "scores"}, optional
        The anova table, the canonical ordinations, or both ("both" when
        None; "anova" for a dissimilarity, whose ordinations, principal
        coordinates, cost an n x n decomposition).
    seed : int, optional
        The generator's starting state (0 to 4294967295). Without it the
        generator starts at 1, as the command line does, so the P values
        are the command line's.
    threads : int, optional
        Threads for the permutation test (1 to 1024); all that the process
        may use when None. The numbers do not depend on it.
    main_units : {"objects", "subgroups"}
        What the main factor's test permutes in a nested design: the samples
        freely, or the subgroups of the first nested factor as wholes.
    exact : bool
        With subgroups as units, enumerate every distinct arrangement.
    distance : str or function
        The dissimilarity between the samples that the analysis decomposes.
        "euclidean" (the classic analysis), "chord", "hellinger" and "chisq"
        are the Euclidean distances of Y as chord-, Hellinger- or
        chi-square-distance-transformed (with transform "none"); "bray",
        "jaccard", "kulczynski", "manhattan", "canberra", "gower" and
        "altgower" are decomposed through Gower's centred matrix. scipy's
        ``braycurtis`` stands for "bray" and ``cityblock`` for "manhattan".
    binary : bool
        The dissimilarity of the species' presences (not with "euclidean").
    sqrt_dist : bool
        Decompose the square roots of the dissimilarities.
    distances : scikit-bio DistanceMatrix, square DataFrame or array, optional
        The dissimilarities themselves, instead of Y. A DistanceMatrix's ids
        and a DataFrame's index name the samples, matched to `data` and to
        Series of labels by name; an array's rows are taken in order.
    correction : {"none", "lingoes"}
        "lingoes": each dissimilarity between two samples made
        sqrt(d^2 + 2c), c the magnitude of the most negative eigenvalue of
        Gower's centred matrix, for the test and the ordinations (as
        adonis2's ``add = "lingoes"``); ``Result.lingoes_constant`` is c.
    residual_axes : int, optional
        The residuals' axes kept (all when None); 0 leaves the residuals'
        ordination out, and with it a dissimilarity's n x n decomposition
        (computed for at most 3000 samples, as is the correction's).
    scaling : {1, 2}
        The scaling of the ordinations' scores: 1, distances among samples
        (the object and site scores as computed, species scores the unit
        eigenvectors); 2, correlations among species (object and site
        scores divided by the square root of their axis' eigenvalue, a
        table's species scores multiplied by it), as ``morvenak run
        --scaling``.
    covariates : list of str, optional
        The variables of the model that are numeric covariates (columns of
        `data`), not factors.
    ss : {"sequential", "marginal"}
        A model's sums of squares: each term after those before it, or
        after every other term that does not contain it.
    strata : str or sequence, optional
        A column name of `data`, or one label per sample: each test
        permutes samples within a label only (a model of terms).
    random : str or list of str, optional
        The factors of the model that are random (a design of factors
        alone): every term holding one is random, and each term's F
        is over the mean square its expected mean square asks for, its test
        permuting the units that mean square is of. Even a nested model
        ("A / B") is then a model of terms.
    fixed : str or list of str, optional
        Terms kept fixed although they hold a random factor ("dose:week").
    restricted : bool
        Insist on the restricted expected mean squares (a balanced design's
        default): an unbalanced design then raises Stopped, since its
        expected mean squares, from the data, are the unrestricted ones.
    denominator : {"classic", "ems"}
        A nested design's denominators: each factor over the one nested in
        it, or ("ems") its nested factors random and each term over the
        mean square, or combination of mean squares, that its expected mean
        square asks for.
    unrestricted : bool
        Random interaction effects unrestricted, instead of summing to zero
        over the levels of a fixed factor, in the expected mean squares.
    dispersion : str, optional
        The name of a factor whose levels' multivariate dispersion is tested
        beside the analysis: a factor of a nested design (a nested one's
        subgroups compared within each level of its parents; the main
        factor's also by its subgroups' centres, ``Result.dispersion.units``),
        or a factor the model holds as a term of its own. Each sample's
        distance to its level's centre is taken in the analysis' own space (Y as
        transformed, or Gower's centred matrix of the dissimilarities as
        corrected, a negative squared distance taken as 0); the distances'
        anova F is tested by permuting its residuals, and each pair of
        levels by Welch's t, by permuting the pair's residuals. The
        permutations come from a generator of their own, started from
        `seed`. The result is ``Result.dispersion``.
    bias_adjust : bool
        With `dispersion`: each distance times sqrt(n / (n - 1)), n its
        level's samples.
    dispersion_centre : {"centroid", "median"}
        With `dispersion`: each level's centre, its centroid or its spatial
        median (Weiszfeld's iteration, in the principal coordinates of a
        dissimilarity).
    p_adjust : {"holm", "bonferroni", "fdr", "none"}
        With `dispersion` or `pairwise`: how the pairs' P are adjusted
        together (Holm's step-down, Bonferroni's, Benjamini and Hochberg's
        false discovery rate, or not at all).
    pairwise : str or list of str, optional
        Factors whose levels are tested in pairs: each pair by the design's
        own test of the factor on the samples of its two levels alone (a
        nested factor's within each level of its parents, "Use within
        Management" or "Use"; a factor of a model that holds it as a term of
        its own), with its pseudo-t sqrt(F) where the F has one numerator
        degree of freedom, and P adjusted over all the pairs of the factor.
        Each pair's permutations start from `seed`. The result is
        ``Result.pairwise``.

    Levels are coded in the order of a pandas Categorical's categories
    (categories no sample has are passed over), and otherwise in order of
    first appearance in Y's row order. The order changes the dummy
    variables, not the space they span: see the user guide's "Level order".

    Returns
    -------
    Result
        ``.table`` (the anova table), ``.ssy`` (for a dissimilarity, the
        total sum of squares from the distances), ``.ordinations``,
        ``.factors``, ``.warnings``, ``.dispersion`` (with `dispersion`),
        ``.to_json()``.

    Raises
    ------
    InvalidInput
        The input does not make an analysis (non-numeric or non-finite Y,
        lengths that disagree, unknown columns, a factor that divides
        nothing, options out of range).
    Stopped
        The engine cannot do the analysis with this data (collinear
        factors, a singular matrix, data beyond the limits).
    KeyboardInterrupt
        Ctrl-C during the analysis; the engine stops and the interpreter
        stays usable.

    Examples
    --------
    >>> import numpy as np, morvenak
    >>> Y = np.array([[1., 0, 3], [2, 1, 3], [0, 4, 1], [1, 5, 0], [3, 1, 2], [0, 6, 1]])
    >>> r = morvenak.analyse(Y, ["a", "a", "b", "b", "a", "b"], permutations=99, task="anova")
    >>> r.table["df1"].tolist(), [round(x, 6) for x in r.table["SS"]]
    ([1, 4, 5], [38.333333, 6.666667, 45.0])
    >>> r
    Morvenak: 6 objects, 3 species, transform none, SSY = 45.00000, P after 99 permutations
    source   df1  df2           SS           MS            F        P       R2
    main       1    4     38.33333     38.33333     23.00000  0.12000   0.8519
    within     4           6.66667      1.66667                         0.1481
    total      5          45.00000                                      1.0000
    """
    kind = _distance_name(distance)
    transform = _choice("transform", transform, list(TRANSFORMS))
    if distances is not None:
        if Y is not None:
            raise InvalidInput("give Y or distances, not both")
        if kind != "euclidean":
            raise InvalidInput(f"distance '{kind}' is computed from Y: the distances given are taken as they are")
        kind = "given"
    elif Y is None:
        raise InvalidInput("Y is missing: give the species table, or the dissimilarities as distances=")
    if kind in EUCLIDEAN and kind != "euclidean":
        if transform != "none":
            raise InvalidInput(f"distance '{kind}' is the Euclidean distance of Y as transformed by "
                               f"'{EUCLIDEAN[kind]}': it takes no transformation of its own, not '{transform}'")
        transform = EUCLIDEAN[kind]
    if main is None:
        raise InvalidInput("'main' is missing: give the main factor")
    task_given = task is not None
    if task is None:
        task = "both" if kind in EUCLIDEAN else "anova"
    options = {
        "transform": transform,
        "distance": kind,
        "binary": bool(binary),
        "sqrt_dist": bool(sqrt_dist),
        "permutations": _whole("permutations", permutations, 0, 2147483647),
        "task": _choice("task", task, list(TASKS)),
        "seed": 1 if seed is None else _whole("seed", seed, 0, 4294967295),
        "seed_given": seed is not None,
        "threads": 0 if threads is None else _whole("threads", threads, 1, 1024),
        "main_units": _choice("main_units", main_units, MAIN_UNITS),
        "exact": bool(exact),
        "correction": _choice("correction", correction, ["none", "lingoes"]),
        "residual_axes": None if residual_axes is None else _whole("residual_axes", residual_axes, 0, 2147483647),
        "scaling": _whole("scaling", scaling, 1, 2),
    }
    if distances is not None:
        d, samples = _distances(distances)
        y, species = np.zeros((d.shape[0], 0)), None
    else:
        if _is_distance_matrix(Y):
            raise InvalidInput("Y is a DistanceMatrix: Y is a species table; give dissimilarities as distances=")
        d = None
        y, samples, species = _response(Y)
    n = y.shape[0]
    rows = None if data is None else _data_rows(data, n, samples)
    ss = _choice("ss", ss, ["sequential", "marginal"])
    random_names = _names_of("random", random)
    fixed_terms = _names_of("fixed", fixed)
    denominator = _choice("denominator", denominator, ["classic", "ems"])
    if restricted and unrestricted:
        raise InvalidInput("restricted and unrestricted: give one")
    if dispersion is not None and (not isinstance(dispersion, str) or not dispersion):
        raise InvalidInput(f"'dispersion' must be the name of a factor, not {dispersion!r}")
    p_adjust = _choice("p_adjust", p_adjust, ["holm", "bonferroni", "fdr", "none"])
    if dispersion is None and bias_adjust:
        raise InvalidInput("bias_adjust goes with a test of dispersion: name its factor with dispersion=")
    pairwise_names = _names_of("pairwise", pairwise)
    dispersion_centre = _choice("dispersion_centre", dispersion_centre, ["centroid", "median"])
    if dispersion is None and dispersion_centre != "centroid":
        raise InvalidInput("dispersion_centre goes with a test of dispersion: name its factor with dispersion=")
    if dispersion is None and not pairwise_names and p_adjust != "holm":
        raise InvalidInput("p_adjust goes with pairwise tests: give pairwise= or dispersion=")
    options.update(dispersion=dispersion, bias_adjust=bool(bias_adjust), dispersion_centre=dispersion_centre,
                   p_adjust=p_adjust,
                   pairwise=pairwise_names)
    mixed = {"random": random_names, "fixed": fixed_terms, "unrestricted": bool(unrestricted),
             "restricted": bool(restricted), "ems": denominator == "ems"}
    if denominator == "ems" and isinstance(main, str) and nested is not None:
        # Columns of a nested design, as its model.
        names_nested = [nested] if isinstance(nested, str) else list(nested)
        if all(isinstance(name, str) for name in names_nested):
            main, nested = " / ".join([main] + names_nested), None
    # A random factor, or denominators from the expected mean squares, make
    # even a model of nested terms a model of terms.
    extras = (covariates is not None or strata is not None or ss != "sequential" or bool(random_names)
              or bool(fixed_terms) or bool(unrestricted) or bool(restricted) or denominator == "ems")
    if extras and not isinstance(main, str):
        raise InvalidInput("covariates, strata, ss, random, fixed, restricted, unrestricted and denominator go "
                           "with a model: give the design as a model, "
                           "such as \"A * B\", its variables columns of 'data'")
    if isinstance(main, str) and (extras or any(c in main for c in "+*:/()`")) and not (
            not extras and rows is not None and main in rows.columns):
        if nested is not None:
            raise InvalidInput(f"the model '{main}' gives the design: give it as main, or main and nested, "
                               "not both")
        model_nested = [] if extras else _engine.model_factors(main)
        if not model_nested:
            return _model(y, d, samples, species, rows, n, main, covariates, ss, strata, kind, options, mixed)
        main, *nested_names = model_nested
        nested = nested_names or None
    given_factors = [main] + _nested_factors(nested, rows)
    if len(given_factors) > 3:
        raise InvalidInput(f"at most two nested factors, not {len(given_factors) - 1}")
    factors = [_factor(given, SOURCES[k], rows, n, samples) for k, given in enumerate(given_factors)]
    names = [name for name, _, _ in factors]
    labels = [lab for _, lab, _ in factors]
    orders = [order for _, _, order in factors]
    if n > 0:
        _divides(labels, names)
    try:
        raw = _engine.analyse(y, labels, orders, names, TRANSFORMS[transform], options["permutations"], TASKS[task],
                              options["seed"], options["threads"], main_units == "subgroups", options["exact"],
                              "euclidean" if kind in EUCLIDEAN else kind, options["binary"], options["sqrt_dist"],
                              d, options["correction"] == "lingoes",
                              -1 if options["residual_axes"] is None else options["residual_axes"],
                              scaling=options["scaling"], **_dispersion_args(options))
    except Error as e:
        _warn(e.warnings)
        raise
    _warn(raw["warnings"])
    options["main"] = names[0]
    options["nested"] = names[1:]
    options["levels"] = {name: order for name, order in zip(names, orders) if order}
    return Result(raw, names, labels, samples, species, options, _engine.version(),
                  label_columns=_label_columns(rows, factors))


def _label_columns(rows: Any, factors: List[Tuple[str, List[str], List[str]]]) -> List[Tuple[str, List[str]]]:
    """The labels table that colours and shapes the figures: each column of
    `data` (the first of a name given twice), as text a missing value empty,
    then each factor given as labels that `data` has no column of."""
    columns: List[Tuple[str, List[str]]] = []
    seen = set()
    for j, name in enumerate(rows.columns if rows is not None else []):
        if str(name) not in seen:
            seen.add(str(name))
            columns.append((str(name), [_text(v) for v in rows.iloc[:, j]]))
    return columns + [(name, list(labels)) for name, labels, _ in factors if name not in seen]


def _dispersion_args(options: Dict[str, Any]) -> Dict[str, Any]:
    """The engine's arguments of the test of dispersion ("" for none)."""
    return {"dispersion": options["dispersion"] or "", "bias_adjust": options["bias_adjust"],
            "dispersion_median": options["dispersion_centre"] == "median",
            "p_adjust": options["p_adjust"], "pairwise": options["pairwise"]}


def _names_of(what: str, given: Any) -> List[str]:
    """`random`, `fixed` or `pairwise`: a name, or a list of names."""
    if given is None:
        return []
    names = [given] if isinstance(given, str) else list(given)
    for name in names:
        if not isinstance(name, str) or not name:
            raise InvalidInput(f"'{what}' must be a name or a list of names, not {given!r}")
    return names


def _covariate(name: str, rows: Any, n: int) -> List[float]:
    """A covariate's values, a numeric column of `data`, each finite."""
    if rows is None:
        raise InvalidInput(f"covariate '{name}' names a column of 'data', but no 'data' was given")
    if name not in rows.columns:
        columns = ", ".join(f"'{c}'" for c in rows.columns)
        raise InvalidInput(f"'data' has no column '{name}' (for the covariate; its columns: {columns})")
    column = rows[name]
    if not pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype):
        raise InvalidInput(f"covariate '{name}' must be numeric: its column holds {_kind(column.dtype)} values")
    values = column.to_numpy(dtype=np.float64, na_value=np.nan)
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size:
        raise InvalidInput(f"covariate '{name}' has no finite value ({values[bad[0]]}) for object {bad[0] + 1}")
    return [float(v) for v in values]


def _model(y: np.ndarray, d: Optional[np.ndarray], samples: Optional[List[str]], species: Optional[List[str]],
           rows: Any, n: int, model: str, covariates: Optional[Sequence[str]], ss: str, strata: Any, kind: str,
           options: Dict[str, Any], mixed: Dict[str, Any]) -> Result:
    """A model of terms: its factors and covariates from `data`, its strata,
    its random factors and fixed terms (`mixed`)."""
    if options["main_units"] != "objects" or options["exact"]:
        raise InvalidInput(f"'{'exact' if options['exact'] else 'main_units'}' goes with a nested design "
                           "(\"A / B\"); a model of terms permutes each term's reduced model's residuals")
    variables = _engine.model_variables(model)
    numeric = [covariates] if isinstance(covariates, str) else list(covariates or [])
    for name in numeric:
        if name not in variables:
            raise InvalidInput(f"covariate '{name}': the model '{model}' has no variable {name}")
    factors = [_factor(name, name, rows, n, samples) for name in variables if name not in numeric]
    values = [(name, _covariate(name, rows, n)) for name in variables if name in numeric]
    strata_name, strata_labels = "", []
    if strata is not None:
        strata_name, strata_labels, _ = _factor(strata, "strata", rows, n, samples)
    names = [name for name, _, _ in factors]
    try:
        raw = _engine.analyse(y, [lab for _, lab, _ in factors], [order for _, _, order in factors], names,
                              TRANSFORMS[options["transform"]], options["permutations"], TASKS[options["task"]],
                              options["seed"], options["threads"], False, False,
                              "euclidean" if kind in EUCLIDEAN else kind, options["binary"], options["sqrt_dist"],
                              d, options["correction"] == "lingoes",
                              -1 if options["residual_axes"] is None else options["residual_axes"],
                              model, values, strata_labels, strata_name, ss == "marginal",
                              mixed["random"], mixed["fixed"], mixed["unrestricted"], mixed["restricted"],
                              mixed["ems"], scaling=options["scaling"], **_dispersion_args(options))
    except Error as e:
        _warn(e.warnings)
        raise
    _warn(raw["warnings"])
    options["model"] = {"text": model, "ss": ss, "strata": strata_name or None,
                        "covariates": [name for name, _ in values], **mixed}
    options["main"], options["nested"] = None, []
    options["levels"] = {name: order for name, _, order in factors if order}
    variables_given = [(name, lab, order) for name, lab, order in factors]
    if strata_name and strata_name not in names:
        variables_given.append((strata_name, strata_labels, []))
    return Result(raw, names, [lab for _, lab, _ in factors], samples, species, options, _engine.version(),
                  variables=variables_given, covariates=values)
