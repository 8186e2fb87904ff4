"""The result of an analysis: the anova table with the columns of the command
line's results.tsv, the ordinations' scores indexed by name, the factors'
levels, and the JSON of results.json (without what only the command line
knows: its input files, output folder and score files)."""

import html
import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

try:
    import pandas as pd
except ImportError:  # pragma: no cover - exercised on machines without pandas
    pd = None

COLUMNS = ["source", "factor", "df1", "df2", "SS", "MS", "F", "P", "R2", "permutations", "note"]
# A model of terms: the columns of its results.tsv.
MODEL_COLUMNS = ["term", "df1", "df2", "SS", "MS", "F", "P", "R2", "permutations", "permuted", "note"]
# A mixed design adds, before the note: whether the term is random, the units
# its test permuted, the mean square its F is over, its expected mean square
# and its component of variation with the component's square root.
MIXED_COLUMNS = ["random", "units", "denominator", "EMS", "component", "sqrt_component"]
FACTOR_SOURCES = ("main", "nested1", "nested2")
# The Euclidean distances of a transformed Y, the classic analysis, by the
# transformation each name stands for; every other distance is decomposed
# through Gower's centred matrix.
EUCLIDEAN = {"euclidean": "none", "chord": "chord", "hellinger": "hellinger", "chisq": "chi2-distance"}


def _cells(row: Dict[str, Any]) -> Dict[str, Any]:
    """A row of the table as results.tsv writes it: None where it is empty."""
    factor = row["source"] in FACTOR_SOURCES
    tested = factor and row["tested"]
    note = row["note"]
    extra = []
    if row["source"] == "within" and row["df1"] == 0:
        extra.append("no degrees of freedom within the groups, so no mean square")
    r2 = row["r2"]
    if not math.isfinite(r2):
        extra.append("R2 has no value: the total sum of squares is 0")
    for text in extra:
        note = note + ("; " if note else "") + text
    return {
        "source": row["source"],
        "df1": row["df1"],
        "df2": row["df2"] if factor else None,
        "SS": row["ss"],
        "MS": row["ms"] if row["source"] != "total" else None,
        "F": row["f"] if factor and row["formed"] else None,
        "P": row["p"] if tested else None,
        "R2": r2,
        "permutations": row["permutations"] if tested else 0,
        "note": note,
    }


def _permuted(row: Dict[str, Any]) -> Optional[str]:
    """What a term's test permuted: the rows as they are, or the residuals of
    its reduced model; None for a row not tested."""
    if not row["tested"]:
        return None
    return "residuals of " + " + ".join(row["reduced"]) if row["reduced"] else "rows"


def _model_cells(row: Dict[str, Any]) -> Dict[str, Any]:
    """A row of a model of terms as its results.tsv writes it: None where it
    is empty."""
    cells = _cells(row)
    tested_term = row["source"] == "term" and not row["condition"]
    return dict(cells, term=row["label"], condition=row["condition"], reduced=list(row["reduced"]),
                df2=row["df2"] if tested_term else None,
                MS=row["ms"] if row["source"] != "total" and row["df1"] > 0 else None,
                F=row["f"] if tested_term and row["formed"] else None,
                P=row["p"] if row["tested"] else None,
                permutations=row["permutations"] if row["tested"] else 0, permuted=_permuted(row))


def _mixed_cells(row: Dict[str, Any]) -> Dict[str, Any]:
    """A row's figures of a mixed design: None where results.tsv leaves the
    cell empty (a row with no denominator has the reason in its note). A
    denominator combined from several mean squares has df2 from
    Satterthwaite's approximation, a float."""
    tested_term = row["source"] == "term" and not row["condition"]
    component = row["component"]
    has = math.isfinite(component)
    cells = {
        "random": bool(row["random"]) if row["source"] == "term" else None,
        "units": row["units"] if row["tested"] else None,
        "denominator": row["denominator"] or None if tested_term else None,
        "EMS": row["ems"] or None,
        "component": component if has else None,
        "sqrt_component": math.sqrt(component) if has and component >= 0.0 else None,
        "EMS_coefficients": dict(row["ems_parts"]) or None,
        "denominator_weights": dict(row["denominator_parts"]) or None if tested_term else None,
    }
    if tested_term and math.isfinite(row["approximate_df2"]):
        cells["df2"] = row["approximate_df2"]
    return cells


def _finite_or_none(x: Optional[float]) -> Optional[float]:
    return x if x is not None and math.isfinite(x) else None


@dataclass
class Ordination:
    """A canonical ordination: of a factor's fitted values, or of the residuals.

    ``object_scores`` (samples x axes) and ``species_scores`` (species x
    axes) are DataFrames indexed by sample and species name, with columns
    axis1, axis2, ... (numpy arrays when pandas is absent). ``eigenvalues``
    are lambda / (n - 1); ``proportions`` are each eigenvalue's share of the
    total variance SSY / (n - 1). Of a dissimilarity the ordinations are
    principal coordinates (``principal_coordinates`` true): the object
    scores are the eigenvectors times the square roots of their
    eigenvalues, the species scores each species' correlation with them,
    ``negative_eigenvalues`` lists the eigenvalues below 0 (also over
    n - 1, ascending) and ``negative_share`` the sum of their magnitudes
    over that of the positive ones. ``site_scores`` (samples x axes, columns
    site_1, site_2, ...; None for the residuals) are the table less the fits
    of the terms fitted before the ordinated one, projected on its axes:
    each cell's site scores average to its object score. ``scaling`` is the
    scaling of the scores (1 or 2, the ``scaling`` argument of
    :func:`morvenak.analyse`).
    """

    number: int
    title: str
    source: str
    canonical: bool
    axes: int
    eigenvalues: np.ndarray
    proportions: np.ndarray
    object_scores: Any
    species_scores: Any
    no_axes: str = ""
    principal_coordinates: bool = False
    negative_eigenvalues: np.ndarray = field(default_factory=lambda: np.zeros(0))
    negative_share: float = 0.0
    term: str = ""  # a model of terms: the term whose added fit it is ("" for the residuals)
    site_scores: Any = None
    scaling: int = 1

    def __repr__(self) -> str:
        shares = ", ".join(f"{p:.4f}" for p in self.proportions[:4])
        more = ", ..." if self.axes > 4 else ""
        return f"<Ordination {self.number} ({self.source}): {self.title}; {self.axes} axes, proportions [{shares}{more}]>"


@dataclass
class FactorLevels:
    """A factor as the engine coded it: its levels in their order (a
    Categorical's, else of first appearance; a nested level is a label
    within its parent's level), each
    level's parent label (None for the main factor) and count, and each
    sample's label."""

    source: str
    name: str
    levels: List[str]
    parents: List[Optional[str]]
    counts: List[int]
    dummies: int
    labels: List[str]


# The columns of a test of dispersion's levels and pairs: those of the command line's
# dispersion.tsv and dispersion-pairs.tsv less their units (a test's own).
DISPERSION_COLUMNS = ["within", "level", "n", "mean_distance", "sd"]
DISPERSION_PAIR_COLUMNS = ["within", "level_a", "level_b", "t", "df", "P", "P_adjusted", "permutations", "note"]
NO_T = "no t: a level of one unit, or no variation in the distances"


# The columns of the command line's pairwise.tsv.
PAIRWISE_COLUMNS = ["term", "within", "level_a", "level_b", "F", "t", "df1", "df2", "P", "P_adjusted",
                    "permutations", "note"]


# The columns of the command line's pairwise-distances.tsv less its term.
PAIRWISE_DISTANCE_COLUMNS = ["within", "level_a", "level_b", "pairs", "mean_distance"]


def _distance_table(rows: List[Dict[str, Any]]) -> Any:
    """A factor's average distances, NaN where a level has no pair of
    samples; a DataFrame, or a dict of numpy arrays without pandas."""
    kinds = {"within": object, "level_a": object, "level_b": object, "pairs": np.int64, "mean_distance": np.float64}
    arrays = {name: np.array([row[name] for row in rows], dtype=kinds[name]) for name in PAIRWISE_DISTANCE_COLUMNS}
    return pd.DataFrame(arrays, columns=PAIRWISE_DISTANCE_COLUMNS) if pd is not None else arrays


def _pair_cells(pr: Dict[str, Any], q: Dict[str, Any]) -> Dict[str, Any]:
    """A pair as results.json's "pairwise" rows hold it: None where empty;
    df2 Satterthwaite's (a float) over a combined denominator."""
    df2 = q["approximate_df2"] if math.isfinite(q["approximate_df2"]) else q["df2"]
    return {"within": q["within"], "level_a": q["level_a"], "level_b": q["level_b"],
            "F": _finite_or_none(q["f"]) if q["formed"] else None, "t": _finite_or_none(q["t"]),
            "df1": q["df1"] if q["formed"] else None, "df2": df2 if q["formed"] else None,
            "P": _finite_or_none(q["p"]), "P_adjusted": _finite_or_none(q["p_adjusted"]),
            "permutations": q["permutations"] if q["tested"] else 0, "note": q["note"]}


def _pairwise_tables(raw: List[Dict[str, Any]]) -> Dict[str, Any]:
    """Each factor tested in pairs (by the name it was asked by): a table with
    the columns of pairwise.tsv, NaN where a cell is empty; a DataFrame, or a
    dict of numpy arrays without pandas."""
    out = {}
    for pr in raw:
        rows = [dict(_pair_cells(pr, q), term=pr["term"]) for q in pr["pairs"]]
        arrays = {}
        for name in PAIRWISE_COLUMNS:
            values = [row[name] for row in rows]
            if name in ("F", "t", "df2", "P", "P_adjusted"):
                arrays[name] = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
            elif name in ("df1", "permutations"):
                arrays[name] = np.array([-1 if v is None else v for v in values], dtype=np.int64)
            else:
                arrays[name] = np.array(values, dtype=object)
        if pd is not None:
            table = pd.DataFrame(arrays, columns=PAIRWISE_COLUMNS)
            table["df1"] = pd.array([row["df1"] for row in rows], dtype="Int64")
            arrays = table
        out[pr["term"]] = arrays
    return out


@dataclass
class Dispersion:
    """The test of multivariate dispersion among a factor's levels.

    ``F`` is the anova F of the units' distances to their level's centre
    (``centre``: "centroid" or "median", the spatial median) on ``df1`` and
    ``df2`` degrees of freedom (None when there is no variation in the
    distances), ``P`` its P after ``permutations`` (None without a test)
    and ``count`` the permuted F at least the observed one, the observed
    counted once. The units (``tested_units``) are the samples, or the
    centres of the subgroups of a nested factor. A nested factor's levels
    are its subgroups, named with their parents' levels (``within``; the
    parent factors in the attribute of that name), compared within each
    level of the parents. ``levels`` has the columns within, level, n,
    mean_distance, sd and ``pairs`` within, level_a, level_b, Welch's t and
    its df, P and the P adjusted by ``p_adjust``, permutations, note (the
    command line's dispersion.tsv and dispersion-pairs.tsv less their
    units), NaN where a cell is empty; both DataFrames, or dicts of numpy
    arrays without pandas. ``distances`` is each unit's distance, a Series
    indexed by the unit's name (an array without pandas). ``units``: for
    the main factor of a nested design, the same test of its subgroups'
    centres around its levels' centres (else None).
    """

    factor: str
    within: str
    tested_units: str
    centre: str
    F: Optional[float]
    P: Optional[float]
    df1: int
    df2: int
    permutations: int
    count: int
    bias_adjust: bool
    p_adjust: str
    levels: Any
    pairs: Any
    distances: Any
    units: Optional["Dispersion"] = None
    _raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)

    @classmethod
    def of(cls, raw: Dict[str, Any], samples: Optional[List[str]],
           units: Optional[Dict[str, Any]] = None) -> "Dispersion":
        names = list(raw["levels"])
        within = list(raw["level_within"])
        levels = {"within": np.array(within, dtype=object), "level": np.array(names, dtype=object),
                  "n": np.array(raw["n"], dtype=np.int64), "mean_distance": np.array(raw["mean"], dtype=np.float64),
                  "sd": np.array(raw["sd"], dtype=np.float64)}
        pairs = raw["pairs"]
        tested = [math.isfinite(q["p"]) for q in pairs]
        table = {
            "within": np.array([within[q["a"]] for q in pairs], dtype=object),
            "level_a": np.array([names[q["a"]] for q in pairs], dtype=object),
            "level_b": np.array([names[q["b"]] for q in pairs], dtype=object),
            "t": np.array([q["t"] if q["formed"] else np.nan for q in pairs], dtype=np.float64),
            "df": np.array([q["df"] if q["formed"] else np.nan for q in pairs], dtype=np.float64),
            "P": np.array([q["p"] for q in pairs], dtype=np.float64),
            "P_adjusted": np.array([q["p_adjusted"] for q in pairs], dtype=np.float64),
            "permutations": np.array([raw["permutations"] if t else 0 for t in tested], dtype=np.int64),
            "note": np.array(["" if q["formed"] else NO_T for q in pairs], dtype=object),
        }
        distances: Any = np.array(raw["z"], dtype=np.float64)
        if pd is not None:
            levels = pd.DataFrame(levels, columns=DISPERSION_COLUMNS)
            table = pd.DataFrame(table, columns=DISPERSION_PAIR_COLUMNS)
            distances = pd.Series(distances, index=list(raw["unit_names"]) if raw["units"] else samples,
                                  name="distance")
        return cls(factor=raw["factor"], within=raw["within"],
                   tested_units="subgroups of " + raw["units"] if raw["units"] else "samples",
                   centre="median" if raw["median"] else "centroid",
                   F=_finite_or_none(raw["f"]) if raw["formed"] else None,
                   P=_finite_or_none(raw["p"]) if raw["permutations"] > 0 else None, df1=raw["df1"],
                   df2=raw["df2"], permutations=raw["permutations"], count=raw["count"],
                   bias_adjust=raw["bias_adjust"], p_adjust=raw["p_adjust"], levels=levels, pairs=table,
                   distances=distances, units=cls.of(units, samples) if units is not None else None, _raw=raw)

    def to_dict(self, samples: Optional[List[str]]) -> Dict[str, Any]:
        """The "dispersion" section of results.json."""
        raw = self._raw
        names, within = list(raw["levels"]), list(raw["level_within"])
        unit_names = list(raw["unit_names"]) if raw["units"] else None
        out = {
            "factor": self.factor, "within": self.within, "tested_units": self.tested_units,
            "centre": self.centre, "bias_adjust": self.bias_adjust, "p_adjust": self.p_adjust,
            "levels": [{"within": w, "level": lv, "n": n, "mean_distance": _finite_or_none(m),
                        "sd": _finite_or_none(sd)}
                       for w, lv, n, m, sd in zip(within, names, raw["n"], raw["mean"], raw["sd"])],
            "df1": self.df1, "df2": self.df2, "F": self.F, "P": self.P, "permutations": self.permutations,
            "pairs": [{"within": within[q["a"]], "level_a": names[q["a"]], "level_b": names[q["b"]],
                       "t": _finite_or_none(q["t"]) if q["formed"] else None,
                       "df": _finite_or_none(q["df"]) if q["formed"] else None,
                       "P": _finite_or_none(q["p"]), "P_adjusted": _finite_or_none(q["p_adjusted"])}
                      for q in raw["pairs"]],
            "samples": [{"sample": (unit_names[i] if unit_names is not None
                                    else samples[i] if samples is not None else str(i + 1)),
                         "within": within[g], "level": names[g], "distance": _finite_or_none(z)}
                        for i, (g, z) in enumerate(zip(raw["group"], raw["z"]))],
        }
        if self.units is not None:
            out["units"] = self.units.to_dict(samples)
        return out

    def __repr__(self) -> str:
        if self.F is None:
            test = "no F: no variation in the distances"
        elif self.P is None:
            test = f"F = {self.F:.5f}, not tested: no permutations"
        else:
            test = f"F = {self.F:.5f}, P = {self.P:.5f} ({self.permutations} permutations)"
        centres = "spatial medians" if self.centre == "median" else "centroids"
        if self.tested_units != "samples":
            what = f"{self.factor}'s {self.tested_units} around its levels' {centres}"
        elif self.within:
            what = f"{self.factor} within {self.within} around its subgroups' {centres}"
        else:
            what = f"{self.factor} around its levels' {centres}"
        line = f"<Dispersion of {what}: {test}>"
        return line if self.units is None else line + "\n" + repr(self.units)


def _html_cell(value: Any) -> str:
    """A cell of a table as a notebook shows it, not yet escaped: empty where
    the table's cell is (None, NaN, pandas' NA), a float to 6 significant
    digits."""
    if value is None or (pd is not None and value is pd.NA):
        return ""
    if isinstance(value, (float, np.floating)):
        return "" if math.isnan(value) else f"{value:.6g}"
    return str(value)


def _html_table(table: Any) -> str:
    """A table (a DataFrame, or a dict of numpy arrays without pandas) as an
    HTML table without its index, every cell escaped."""
    if pd is not None and isinstance(table, pd.DataFrame):
        return table.applymap(_html_cell).to_html(index=False, border=0, classes="morvenak-table")
    columns = list(table)
    rows = len(table[columns[0]]) if columns else 0
    head = "".join(f"<th>{html.escape(str(c))}</th>" for c in columns)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(_html_cell(table[c][i]))}</td>" for c in columns) + "</tr>\n"
                   for i in range(rows))
    return (f'<table class="morvenak-table">\n<thead><tr>{head}</tr></thead>\n'
            f"<tbody>\n{body}</tbody>\n</table>")


def _frame(values: np.ndarray, index: Optional[List[str]], axes: int, prefix: str = "axis") -> Any:
    if pd is None:
        return values
    columns = [f"{prefix}{a + 1}" for a in range(axes)]
    return pd.DataFrame(values, index=index if index is not None else None, columns=columns)


class Result:
    """The result of :func:`morvenak.analyse`.

    Attributes
    ----------
    table : pandas.DataFrame or dict of numpy arrays
        One row per source of variation (main, nested1, nested2, within,
        total) with the columns of results.tsv: source, factor, df1, df2,
        SS, MS, F, P, R2, permutations, note. Empty cells are NaN (df2 is
        pandas' nullable Int64, <NA> where empty); without pandas, a dict of
        arrays with df2 as floats.
    ssy : float
        Total sum of squares of the transformed, centred Y; for a
        dissimilarity, the total sum of squares from the distances (the
        trace of Gower's centred matrix).
    ordinations : list of Ordination
        The main factor's fitted values, then each nested factor's, then the
        residuals (tasks "scores" and "both").
    factors : list of FactorLevels
    warnings : list of str
        What the user should know about this design and data.
    main_test : dict or None
        In a nested design: the main factor's units and arrangements.
    mixed, restricted, balanced : bool
        A model with random factors (``random=``), whose table then has the
        columns random, units, denominator, EMS, component and
        sqrt_component before the note; whether its expected mean squares
        are restricted (the default of a balanced design) or unrestricted
        (an unbalanced design's); and whether the design is balanced. A
        denominator combined from several mean squares is written as the
        combination ("0.89 MS(B within A) + 0.11 MS(Residual)"), its df2
        from Satterthwaite's approximation; the rows of ``to_dict()`` give
        each EMS coefficient and denominator weight in full.
    dispersion : Dispersion or None
        With ``dispersion=``: the test of multivariate dispersion among the
        factor's levels (its F, P and degrees of freedom, the levels' and
        the pairs' tables, each sample's distance to its centroid).
    pairwise : dict
        With ``pairwise=``: for each factor asked (by the name it was asked
        by), the table of its pairs with the columns of pairwise.tsv (term,
        within, level_a, level_b, F, t, df1, df2, P, P_adjusted,
        permutations, note).
    pairwise_distances : dict
        With ``pairwise=``: for each factor asked, the average distance
        among the samples of each of its levels (level_a = level_b) and
        between those of each pair of them, within each level of its
        parents (within, level_a, level_b, pairs, mean_distance), in the
        space of the analysis.
    options : dict
        The options of the analysis, the seed and thread count included,
        and the dissimilarity: ``distance`` ("given" for a matrix given),
        ``binary``, ``sqrt_dist``, and ``transform`` as applied (the
        transformation "chord", "hellinger" and "chisq" stand for).
    """

    def __init__(self, raw: Dict[str, Any], names: List[str], labels: List[List[str]],
                 samples: Optional[List[str]], species: Optional[List[str]], options: Dict[str, Any],
                 version: str, variables: Optional[List[Any]] = None,
                 covariates: Optional[List[Any]] = None,
                 label_columns: Optional[List[Tuple[str, List[str]]]] = None) -> None:
        self.n: int = raw["n"]
        self.p: int = raw["p"]
        self.ssy: float = raw["ssy"]
        self.permutations: int = raw["permutations"]
        self.warnings: List[str] = list(raw["warnings"])
        self.options: Dict[str, Any] = dict(options)
        self.version: str = version
        self.samples: Optional[List[str]] = samples
        self.species: Optional[List[str]] = species
        self.anova_seconds: float = raw["anova_seconds"]
        self.ordination_seconds: float = raw["ordination_seconds"]
        # With correction "lingoes": the constant c (2c added to each squared dissimilarity).
        self.lingoes_constant: float = raw["lingoes_constant"]
        self._names = names
        # A model of terms (options["model"]): its factors and strata as
        # (name, labels, order), its covariates as (name, values).
        self.model: Optional[Dict[str, Any]] = options.get("model")
        self._variables = list(variables or [])
        self._covariates = list(covariates or [])
        # The labels table as the figures take it (morvenak plot's results.json
        # "labels"): each column of `data`, then each factor given as labels, as
        # (name, one text per sample).
        self._label_columns = list(label_columns or [])
        # Some term random (a model of terms with random factors), and whether
        # its expected mean squares are restricted.
        self.mixed: bool = bool(raw.get("mixed", False))
        self.restricted: bool = bool(raw.get("restricted", True))
        self.balanced: bool = bool(raw.get("balanced", True))
        if self.model is not None:
            self._rows = [dict(_model_cells(row), **(_mixed_cells(row) if self.mixed else {}))
                          for row in raw["rows"]]
        else:
            self._rows = [dict(_cells(row), factor=self._factor_of(row["source"])) for row in raw["rows"]]
        self.table: Union[Any, Dict[str, np.ndarray]] = self._table()
        self.factors: List[FactorLevels] = []
        codings = raw["codings"] if self.model is None else []
        for k, coding in enumerate(codings):
            above = codings[k - 1]["levels"] if k > 0 else []
            parents = [above[p] if p >= 0 else None for p in coding["parent"]]
            self.factors.append(FactorLevels(FACTOR_SOURCES[k], names[k], list(coding["levels"]), parents,
                                             list(coding["counts"]), coding["dummies"], list(labels[k])))
        self.main_test: Optional[Dict[str, Any]] = (dict(raw["main_test"]) if len(names) > 1 and self.model is None
                                                    else None)
        self.dispersion: Optional[Dispersion] = (Dispersion.of(raw["dispersion"], samples,
                                                               raw.get("dispersion_units"))
                                                 if raw.get("dispersion") is not None else None)
        # The factors tested in pairs, each its table (empty when none was asked).
        self._pairwise = list(raw.get("pairwise", []))
        self.pairwise: Dict[str, Any] = _pairwise_tables(self._pairwise)
        # Each such factor's average distances within and between its levels.
        self.pairwise_distances: Dict[str, Any] = {pr["term"]: _distance_table(pr["distances"])
                                                   for pr in self._pairwise}
        self.ordinations: List[Ordination] = []
        for k, o in enumerate(raw["ordinations"]):
            self.ordinations.append(Ordination(
                number=k + 1, title=o["title"], source=o["source"], canonical=o["canonical"], axes=o["axes"],
                eigenvalues=np.asarray(o["eigenvalues"]), proportions=np.asarray(o["proportions"]),
                object_scores=_frame(o["object_scores"], samples, o["axes"]),
                species_scores=_frame(o["species_scores"], species, o["axes"]), no_axes=o["no_axes"],
                principal_coordinates=o["principal_coordinates"],
                negative_eigenvalues=np.asarray(o["negative_eigenvalues"]), negative_share=o["negative_share"],
                term=o["term"], scaling=o["scaling"],
                site_scores=None if o["site_scores"] is None else _frame(o["site_scores"], samples, o["axes"], "site_")))

    def _factor_of(self, source: str) -> str:
        if source in FACTOR_SOURCES:
            return self._names[FACTOR_SOURCES.index(source)]
        return ""

    def _table(self) -> Any:
        if self.model is not None:
            return self._model_table()

        def column(name: str, dtype: Any) -> np.ndarray:
            values = [row[name] for row in self._rows]
            if dtype is float:
                return np.array([np.nan if v is None else v for v in values], dtype=np.float64)
            return np.array(values, dtype=dtype)

        arrays = {
            "source": column("source", object), "factor": column("factor", object),
            "df1": column("df1", np.int64), "df2": column("df2", float),
            "SS": column("SS", float), "MS": column("MS", float), "F": column("F", float),
            "P": column("P", float), "R2": column("R2", float),
            "permutations": column("permutations", np.int64), "note": column("note", object),
        }
        if pd is None:
            return arrays
        frame = pd.DataFrame(arrays, columns=COLUMNS)
        frame["df2"] = pd.array([row["df2"] for row in self._rows], dtype="Int64")
        return frame

    def _model_columns(self) -> List[str]:
        return MODEL_COLUMNS[:-1] + MIXED_COLUMNS + MODEL_COLUMNS[-1:] if self.mixed else MODEL_COLUMNS

    def _model_table(self) -> Any:
        floats = ("SS", "MS", "F", "P", "R2", "component", "sqrt_component")
        arrays = {}
        columns = self._model_columns()
        for name in columns:
            values = [row[name] for row in self._rows]
            if name in ("random", "units", "denominator", "EMS"):
                arrays[name] = np.array(values, dtype=object)
            elif name in floats:
                arrays[name] = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
            elif name in ("df1", "permutations"):
                arrays[name] = np.array(values, dtype=np.int64)
            elif name == "df2":
                arrays[name] = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
            else:
                arrays[name] = np.array(["" if v is None else v for v in values], dtype=object)
        if pd is None:
            return arrays
        frame = pd.DataFrame(arrays, columns=columns)
        # Whole degrees of freedom as integers; Satterthwaite's, where a row has them, as floats.
        if all(row["df2"] is None or isinstance(row["df2"], int) for row in self._rows):
            frame["df2"] = pd.array([row["df2"] for row in self._rows], dtype="Int64")
        return frame

    def _model_dict(self) -> Dict[str, Any]:
        """results.json of a model of terms, less what only the command line knows."""
        model = {"text": self.model["text"], "ss": self.model["ss"], "strata": self.model["strata"]}
        variables = []
        for name, labels, order in self._variables:
            kind = "strata" if name == self.model["strata"] and name not in self._names else "factor"
            present = set(labels)
            levels = [lv for lv in order if lv in present] if order else list(dict.fromkeys(labels))
            variables.append({"column": name, "kind": kind,
                              "levels": [{"label": lv, "count": labels.count(lv)} for lv in levels]})
        for name, _ in self._covariates:
            variables.append({"column": name, "kind": "covariate"})
        samples = []
        for i in range(self.n):
            sample: Dict[str, Any] = {"sample": self.samples[i] if self.samples is not None else str(i + 1)}
            for name, labels, _ in self._variables:
                sample[name] = labels[i]
            for name, values in self._covariates:
                sample[name] = values[i]
            samples.append(sample)
        rows = [{
            "source": r["source"], "term": r["term"], "condition": r["condition"], "df1": r["df1"],
            "df2": r["df2"], "SS": _finite_or_none(r["SS"]), "MS": _finite_or_none(r["MS"]),
            "F": _finite_or_none(r["F"]), "P": _finite_or_none(r["P"]), "R2": _finite_or_none(r["R2"]),
            "ss_type": model["ss"] if r["source"] == "term" else None, "permuted": r["permuted"],
            "reduced_model": r["reduced"] if r["source"] == "term" else None,
            "permutations": r["permutations"], "note": r["note"],
            **({"random": r["random"], "EMS": r["EMS"], "denominator": r["denominator"], "units": r["units"],
                "component": _finite_or_none(r["component"]), "sqrt_component": _finite_or_none(r["sqrt_component"]),
                "EMS_coefficients": r["EMS_coefficients"], "denominator_weights": r["denominator_weights"]}
               if self.mixed else {}),
        } for r in self._rows]
        options = {key: self.options[key] for key in ("transform", "distance", "binary", "sqrt_dist", "task",
                                                      "seed", "seed_given", "threads", "correction")}
        options.update(permutations=self.options["permutations"], model=model["text"],
                       covariates=list(self.model["covariates"]), ss=model["ss"], strata=model["strata"],
                       levels=dict(self.options.get("levels", {})))
        options.update(self._dispersion_options())
        out = {
            "program": "morvenak", "version": self.version, "options": options, "model": model,
            "design": {"objects": self.n, "species": self.p, "variables": variables, "samples": samples},
            "ssy": _finite_or_none(self.ssy), "rows": rows, "warnings": list(self.warnings),
            "timings": {"anova_seconds": self.anova_seconds, "ordination_seconds": self.ordination_seconds},
            "ordinations": self._ordinations_dict(),
        }
        if self.dispersion is not None:
            out["dispersion"] = self.dispersion.to_dict(self.samples)
        if self._pairwise:
            out["pairwise"] = self._pairwise_dict()
        return out

    def _pairwise_dict(self) -> List[Dict[str, Any]]:
        """The "pairwise" section of results.json."""
        return [{"term": pr["term"], "factor": pr["factor"], "p_adjust": pr["p_adjust"], "note": pr["note"],
                 "pairs": [_pair_cells(pr, q) for q in pr["pairs"]],
                 "distances": [dict(q, mean_distance=_finite_or_none(q["mean_distance"])) for q in pr["distances"]]}
                for pr in self._pairwise]

    def _dispersion_options(self) -> Dict[str, Any]:
        """The options of a test of dispersion, when one was asked."""
        if self.dispersion is None:
            return {}
        return {key: self.options[key] for key in ("dispersion", "bias_adjust", "dispersion_centre", "p_adjust")}

    def _ordinations_dict(self) -> List[Dict[str, Any]]:
        """The ordinations' figures as results.json holds them."""
        return [{
            "number": o.number, "title": o.title, "source": o.source, **({"term": o.term} if o.term else {}),
            "canonical": o.canonical,
            "axes": o.axes, "eigenvalues": [_finite_or_none(float(e)) for e in o.eigenvalues],
            "proportions": [_finite_or_none(float(p)) for p in o.proportions],
            **({"principal_coordinates": True,
                "negative_eigenvalues": [float(e) for e in o.negative_eigenvalues],
                "negative_share": float(o.negative_share)} if o.principal_coordinates else {}),
            "site_columns": [] if o.site_scores is None else [f"site_{a + 1}" for a in range(o.axes)],
            "scaling": o.scaling,
        } for o in self.ordinations]

    def _head(self) -> str:
        o = self.options
        if o["distance"] == "given":
            return f"Morvenak: {self.n} objects, distances given"
        head = f"Morvenak: {self.n} objects, {self.p} species, transform {o['transform']}"
        if o["distance"] != "euclidean":
            head += f", distance {o['distance']}"
        if self.model is not None:
            head += f", model {self.model['text']} ({self.model['ss']} SS"
            head += f", strata {self.model['strata']})" if self.model["strata"] else ")"
        return head + "".join(f", {what}" for what, on in (("binary", o["binary"]), ("sqrt_dist", o["sqrt_dist"]))
                              if on)

    def _summary(self) -> str:
        """The first line of the repr: the data, the total sum of squares and the permutations."""
        total = "SSY" if self.options["distance"] in EUCLIDEAN else "total sum of squares (from distances)"
        head = f"{self._head()}, {total} = {self.ssy:.5f}"
        if self._rows and self.permutations > 0:
            head += f", P after {self.permutations} permutations"
        return head

    def __repr__(self) -> str:
        lines = [self._summary()]
        if self._rows:
            def number(x: Optional[float], width: int = 12, digits: int = 5) -> str:
                return (" " * width) if x is None else f"{x:{width}.{digits}f}"

            def name(r: Dict[str, Any]) -> str:
                return r["term"] if self.model is not None else (r["factor"] or r["source"])

            head_name = "term" if self.model is not None else "source"
            width = max(len("source"), *(len(name(r)) for r in self._rows))
            lines.append(f"{head_name:<{width}}  {'df1':>4} {'df2':>4} {'SS':>12} {'MS':>12} {'F':>12} "
                         f"{'P':>8} {'R2':>8}")
            for r in self._rows:
                df2 = "" if r["df2"] is None else str(r["df2"])
                lines.append(f"{name(r):<{width}}  {r['df1']:>4} {df2:>4} {number(r['SS'])} "
                             f"{number(r['MS'])} {number(r['F'])} {number(r['P'], 8)} {number(r['R2'], 8, 4)}")
            notes = [f"  {name(r)}: {r['note']}" for r in self._rows if r["note"]]
            permuted = [f"  {r['term']}: {r['permuted']}" for r in self._rows
                        if self.model is not None and r["permuted"]]
            if permuted:
                lines += ["permuted:"] + permuted
            if notes:
                lines += ["notes:"] + notes
        if self.ordinations:
            lines.append(f"{len(self.ordinations)} ordinations: " +
                         "; ".join(f"{o.number} {o.source} ({o.axes} axes)" for o in self.ordinations))
        if self.dispersion is not None:
            lines.extend(line[1:-1] for line in repr(self.dispersion).splitlines())
        if self.warnings:
            lines += ["warnings:"] + [f"  {w}" for w in self.warnings]
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        """The result as a notebook shows it: the summary line, the table
        (pandas' to_html, or a plain HTML table without pandas), each factor
        tested in pairs with its table of pairs, the test of dispersion's
        line, and the warnings; every name escaped."""
        parts = [f"<p>{html.escape(self._summary())}</p>", _html_table(self.table)]
        for pr in self._pairwise:
            term = pr["term"]
            if pr["note"]:
                parts.append(f"<p>Pairs of {html.escape(term)}: {html.escape(pr['note'])}</p>")
                continue
            parts.append(f"<p>Pairs of {html.escape(term)} (P adjusted: {html.escape(pr['p_adjust'])}):</p>")
            parts.append(_html_table(self.pairwise[term]))
        if self.dispersion is not None:
            parts.extend(f"<p>{html.escape(line[1:-1])}</p>" for line in repr(self.dispersion).splitlines())
        if self.warnings:
            items = "".join(f"<li>{html.escape(w)}</li>" for w in self.warnings)
            parts.append(f"<p>Warnings:</p><ul>{items}</ul>")
        return '<div class="morvenak-result">\n' + "\n".join(parts) + "\n</div>"

    def to_dict(self) -> Dict[str, Any]:
        """The fields of the command line's results.json that an analysis in
        memory has (no input files, output folder or score files). Numbers
        that are not finite are None, and the row's note says why."""
        if self.model is not None:
            return self._model_dict()
        factors = []
        for k, f in enumerate(self.factors):
            entry: Dict[str, Any] = {"source": f.source, "column": f.name}
            if k > 0:
                entry["within"] = self.factors[k - 1].name
            entry["dummy_variables"] = f.dummies
            levels = []
            for label, parent, count in zip(f.levels, f.parents, f.counts):
                level: Dict[str, Any] = {"label": label}
                if k > 0:
                    level["parent"] = parent
                level["count"] = count
                levels.append(level)
            entry["levels"] = levels
            factors.append(entry)
        samples = []
        for i in range(self.n):
            sample: Dict[str, Any] = {"sample": self.samples[i] if self.samples is not None else str(i + 1)}
            for f in self.factors:
                sample[f.name] = f.labels[i]
            samples.append(sample)
        rows = []
        for r in self._rows:
            rows.append({
                "source": r["source"], "factor": r["factor"], "df1": r["df1"], "df2": r["df2"],
                "SS": _finite_or_none(r["SS"]), "MS": _finite_or_none(r["MS"]), "F": _finite_or_none(r["F"]),
                "P": _finite_or_none(r["P"]), "R2": _finite_or_none(r["R2"]),
                "permutations": r["permutations"], "note": r["note"],
            })
        options = {
            "main": self.options["main"], "nested": list(self.options["nested"]),
            "transform": self.options["transform"], "distance": self.options["distance"],
            "binary": self.options["binary"], "sqrt_dist": self.options["sqrt_dist"],
            "permutations": 0 if self.options["task"] == "scores" else self.options["permutations"],
            "task": self.options["task"], "seed": self.options["seed"], "seed_given": self.options["seed_given"],
            "threads": self.options["threads"], "coding_check": True,
            "main_units": self.options["main_units"], "exact": self.options["exact"],
            "levels": dict(self.options.get("levels", {})),
            "correction": self.options["correction"], "residual_axes": self.options["residual_axes"],
            "scaling": self.options["scaling"], **self._dispersion_options(),
        }
        out: Dict[str, Any] = {
            "program": "morvenak",
            "version": self.version,
            "options": options,
            "design": {"objects": self.n, "species": self.p, "factors": factors, "samples": samples},
            "ssy": _finite_or_none(self.ssy),
            "rows": rows,
            "warnings": list(self.warnings),
            "timings": {"anova_seconds": self.anova_seconds, "ordination_seconds": self.ordination_seconds},
            "ordinations": self._ordinations_dict(),
            "lingoes_constant": self.lingoes_constant if self.options["correction"] == "lingoes" else None,
        }
        if self.main_test is not None:
            out["main_test"] = dict(self.main_test)
        if self.dispersion is not None:
            out["dispersion"] = self.dispersion.to_dict(self.samples)
        if self._pairwise:
            out["pairwise"] = self._pairwise_dict()
        return out

    def figure_model(self, k: Union[int, str] = 1, axes: Tuple[int, int] = (1, 2), hulls: bool = False,
                     ellipses: bool = False, point_labels: str = "auto", top_species: int = 10,
                     width: float = 7, height: float = 6, scores: str = "sites", colour_by: Any = None,
                     shape_by: Any = None) -> Dict[str, Any]:
        """The figure of ordination `k` as ``morvenak plot`` places it: the
        command's figure model (the JSON of ``morvenak plot --format json``,
        parsed), built by the command's own code from this result, so that
        for the same tables and options it is the command's, place for place.

        Every place is in points from the top left corner of a canvas
        ``width`` x ``height`` (in points); every colour is "#rrggbb". Its
        fields: "frame", "strip" (one axis: a strip chart), "title",
        "x_title", "y_title", "ticks", "tick_marks", "zero_lines",
        "row_lines", "outlines" (hulls, ellipses), "markers" (each with the
        0-based samples drawn at it), "centroids", "arrows" (species),
        "labels", "legend", "colour_bar" (None without one), "note" and
        "dropped" (what was left out for want of room).

        Parameters
        ----------
        k : int or str
            The ordination: its number from 1 (the command's ordination-K,
            ``Ordination.number``), or the name of its factor
            ("Management"), or its source ("main", "nested1", "nested2",
            "within" for the residuals).
        axes : (int, int)
            The two axes drawn, numbered from 1. An ordination of one axis
            (a factor of two levels) is a strip chart of it, a row per
            group, when axis 1 is one of the two.
        hulls, ellipses : bool
            Each group's convex hull, or its ellipse of one standard deviation.
        point_labels : {"auto", "none", "names", "numbers"}
            The samples labelled by name, by number, or not; "auto" names up
            to 50 samples and none beyond.
        top_species : int
            The species drawn as arrows: the longest on the axes drawn.
        width, height : float
            The figure's size in inches (2 to 50).
        scores : {"sites", "fitted"}
            Where a canonical ordination's samples are: at their site scores,
            around their group's fitted centroid, or at their fitted scores.
        colour_by, shape_by : str or sequence, optional
            What colours (shapes) the samples instead of the ordination's
            factor: the name of a column of `data` (every column given to
            :func:`morvenak.analyse`, and each factor given as labels, by its
            name), or the values themselves, one per sample (a pandas Series
            is matched to the samples by its index). A column of numbers
            colours on a continuous scale with a colour bar (a missing value,
            NaN or None, in grey); any other is read as labels, each a colour
            of the palette or one of 6 shapes.

        Raises
        ------
        InvalidInput
            No such ordination, one without the axes asked, an unknown
            column, more labels than colours or shapes, an option out of
            range; the command's words, by this method's keywords.
        """
        from ._plot import figure_json
        return json.loads(figure_json(self, k, axes=axes, hulls=hulls, ellipses=ellipses, point_labels=point_labels,
                                      top_species=top_species, width=width, height=height, scores=scores,
                                      colour_by=colour_by, shape_by=shape_by))

    def plot(self, k: Union[int, str] = 1, axes: Tuple[int, int] = (1, 2), hulls: bool = False,
             ellipses: bool = False, point_labels: str = "auto", top_species: int = 10, width: float = 7,
             height: float = 6, scores: str = "sites", colour_by: Any = None, shape_by: Any = None) -> Any:
        """The figure of ordination `k` drawn with matplotlib: the figure of
        ``morvenak plot`` for the same tables and options (the samples
        coloured by group around their groups' centroids, the strongest
        species as arrows, the legend naming each level with its parents),
        as a new ``matplotlib.figure.Figure`` of `width` x `height` inches.

        The options are those of :meth:`figure_model`, which gives what is
        drawn. The Figure is made without pyplot, so it works without a
        display: ``r.plot(1).savefig("management.png", dpi=150)``; in a
        notebook it shows as the cell's value. Its one Axes covers the whole
        figure, one unit a point from the top left corner; each layer's
        artists carry an id (``get_gid()``: "markers", "centroids",
        "legend", ...), which an SVG keeps.

        Raises
        ------
        ImportError
            Without matplotlib (Debian's python3-matplotlib, or pip's
            matplotlib); ``figure_model`` needs none.
        InvalidInput
            As :meth:`figure_model`.
        """
        from ._plot import draw, figure_json
        model = json.loads(figure_json(self, k, axes=axes, hulls=hulls, ellipses=ellipses, point_labels=point_labels,
                                       top_species=top_species, width=width, height=height, scores=scores,
                                       colour_by=colour_by, shape_by=shape_by))
        return draw(model)

    def to_json(self, path: Optional[str] = None, indent: int = 2) -> str:
        """The result as JSON (see :meth:`to_dict`); written to `path` too
        when given, which must not exist yet.

        >>> import morvenak
        >>> r = morvenak.analyse([[1., 2], [2, 1], [5, 5], [6, 4]], ["x", "x", "y", "y"], permutations=0)
        >>> import json; json.loads(r.to_json())["rows"][0]["SS"]
        25.0
        """
        text = json.dumps(self.to_dict(), indent=indent, allow_nan=False, ensure_ascii=False) + "\n"
        if path is not None:
            with open(path, "x", encoding="utf-8") as out:
                out.write(text)
        return text
