"""The figures of a Result: the command's figure model of an ordination, and
the model drawn with matplotlib.

The model is built by the code of ``morvenak plot`` compiled into the
extension (tools/plot/model.hpp), from the Result's own values: the same
text as ``morvenak plot --format json`` writes for the same run and options.
Here are the options' checks in the package's words, and the drawing, which
follows the command's renderer (tools/plot/render.cpp) layer for layer: a
place is in points from the top left corner of the canvas, so the Axes spans
the whole Figure, one data unit a point, y running down.
"""

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _engine
from ._analyse import _aligned, _choice, _is_series, _text, _whole
from ._errors import InvalidInput

POINT_LABELS = ("auto", "none", "names", "numbers")
SCORES = ("sites", "fitted")
MATPLOTLIB_MISSING = ("Result.plot draws with matplotlib, which is not installed: install Debian's "
                      "python3-matplotlib (or pip's matplotlib); Result.figure_model needs neither")


def _inches(name: str, value: Any) -> float:
    ok = isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))
    if not ok or not 2 <= value <= 50:
        raise InvalidInput(f"'{name}' must be from 2 to 50 inches, not {value!r}")
    return float(value)


def _axes(axes: Any) -> Tuple[int, int]:
    """Two different axes numbered from 1, as the command's --axes."""
    try:
        x, y = axes
        x, y = _whole("axes", x, 1, 999), _whole("axes", y, 1, 999)
    except (TypeError, ValueError, InvalidInput):
        x = y = 0
    if x == y:
        raise InvalidInput(f"axes {axes!r}: give two different axes numbered from 1, such as (1, 2)")
    return x, y


def ordination_index(result: Any, k: Any) -> int:
    """The 0-based index of the ordination that k names: its number from 1
    (the command's ordination-K), its factor's name, or its source ("main",
    "nested1", "nested2", "within" for the residuals)."""
    ordinations = result.ordinations
    if result.model is not None:
        raise InvalidInput("a model of terms has no figures: they group the samples by the levels of a nested "
                           "design (main, nested)")
    if not ordinations:
        raise InvalidInput("no ordinations: the task was 'anova'")
    if isinstance(k, str):
        sources = {o.source: i for i, o in enumerate(ordinations)}
        names = {f.name: sources[f.source] for f in result.factors if f.source in sources}
        for source, i in sources.items():
            names.setdefault(source, i)
        if k not in names:
            known = ", ".join(f"'{name}'" for name in names)
            raise InvalidInput(f"no ordination '{k}': name one by its factor or source ({known}), or number it "
                               f"from 1 to {len(ordinations)}")
        return names[k]
    ok = isinstance(k, (int, np.integer)) and not isinstance(k, (bool, np.bool_))
    if not ok or not 1 <= k <= len(ordinations):
        raise InvalidInput(f"no ordination {k!r}: number it from 1 to {len(ordinations)}, or name it by its factor")
    return int(k) - 1


def _style_column(result: Any, option: str, given: Any) -> Tuple[str, Optional[Tuple[str, List[str]]]]:
    """The name of the column an option colours or shapes by, and the column
    itself when it was given as values, one per sample (a pandas Series is
    matched to the samples by its index when they have names)."""
    if given is None:
        return "", None
    columns = [name for name, _ in result._label_columns]
    if isinstance(given, str):
        if given not in columns:
            listed = ", ".join(f"'{c}'" for c in columns)
            raise InvalidInput(f"{option} '{given}': no column of 'data' nor factor of that name (the columns: "
                               f"{listed}); or give the values, one per sample")
        return given, None
    if not hasattr(given, "__len__"):
        raise InvalidInput(f"{option} must name a column of 'data', or give one value per sample, not {given!r}")
    name = str(given.name) if _is_series(given) and given.name is not None else option
    if _is_series(given) and result.samples is not None:
        values = _aligned(given, name, result.samples)
    else:
        values = list(given)
    if len(values) != result.n:
        raise InvalidInput(f"{option}: {len(values)} values for {result.n} samples")
    return name, (name, [_text(v) for v in values])


def figure_json(result: Any, k: Any, axes: Any = (1, 2), hulls: bool = False, ellipses: bool = False,
                point_labels: str = "auto", top_species: int = 10, width: float = 7, height: float = 6,
                scores: str = "sites", colour_by: Any = None, shape_by: Any = None) -> str:
    """The figure model of ordination k as the command's JSON text."""
    index = ordination_index(result, k)
    x, y = _axes(axes)
    point_labels = _choice("point_labels", point_labels, POINT_LABELS)
    scores = _choice("scores", scores, SCORES)
    colour, colour_values = _style_column(result, "colour_by", colour_by)
    shape, shape_values = _style_column(result, "shape_by", shape_by)
    # Values given win over a column of the same name: the model takes the first.
    columns = [c for c in (colour_values, shape_values) if c is not None] + list(result._label_columns)
    n = result.n
    samples = result.samples if result.samples is not None else [str(i + 1) for i in range(n)]
    species = result.species if result.species is not None else [str(j + 1) for j in range(result.p)]
    ordinations = []
    for o in result.ordinations:
        share = o.negative_share if o.principal_coordinates and math.isfinite(o.negative_share) else -1.0
        ordinations.append({
            "title": o.title, "eigenvalues": [float(e) for e in o.eigenvalues],
            "proportions": [float(p) for p in o.proportions],
            "objects": np.asarray(o.object_scores, dtype=np.float64),
            "sites": None if o.site_scores is None else np.asarray(o.site_scores, dtype=np.float64),
            "species": species[:len(o.species_scores)],
            "species_scores": np.asarray(o.species_scores, dtype=np.float64), "negative_share": float(share),
        })
    factors = result.factors
    try:
        return _engine.figure_json(
            samples, [f.name for f in factors], [list(f.labels) for f in factors],
            [list(dict.fromkeys(f.levels)) for f in factors], columns, ordinations, index,
            _inches("width", width), _inches("height", height), x - 1, y - 1, bool(hulls), bool(ellipses),
            point_labels, _whole("top_species", top_species, 0, 2147483647), scores == "fitted", colour, shape)
    except InvalidInput as e:
        # The command's options by the keywords that give them here.
        message = e.message.replace("--colour-by ", "colour_by ").replace("--shape-by ", "shape_by ")
        raise InvalidInput(message) from None


# The drawing. Colours come resolved in the model ("#rrggbb"); the greys and
# widths are the renderer's.
GREY_ROWS, GREY_ZERO, GREY_ARROWS, GREY_LEADERS, GREY_BOXES = "0.85", "0.6", "#545454", "0.45", "0.2"


def _shape(marker: Dict[str, Any]) -> Any:
    """A marker's patch, its shape at its radius as the renderer draws it."""
    from matplotlib.patches import Circle, Polygon, Rectangle
    x, y, r, shape = marker["x"], marker["y"], marker["radius"], marker["shape"]
    if shape == "circle":
        return Circle((x, y), r)
    if shape == "square":
        return Rectangle((x - 0.9 * r, y - 0.9 * r), 1.8 * r, 1.8 * r)
    if shape == "star":
        corners = [(-math.pi / 2 + math.pi * k / 5, 1.35 * r if k % 2 == 0 else 0.5 * r) for k in range(10)]
    else:
        count, start = {"triangle": (3, -math.pi / 2), "diamond": (4, 0.0), "triangle_down": (3, math.pi / 2)}[shape]
        corners = [(start + 2 * math.pi * k / count, 1.25 * r) for k in range(count)]
    return Polygon([(x + d * math.cos(a), y + d * math.sin(a)) for a, d in corners], closed=True)


class _Canvas:
    """The Axes over the whole Figure, and the artists added in the
    renderer's order (each a step above the last)."""

    def __init__(self, figure: Any, model: Dict[str, Any]) -> None:
        from matplotlib.patches import Rectangle
        width, height = model["width"], model["height"]
        self.ax = figure.add_axes((0, 0, 1, 1))
        self.ax.set_axis_off()
        self.ax.set_in_layout(False)
        self.ax.set_autoscale_on(False)
        self.ax.set_xlim(0, width)
        self.ax.set_ylim(height, 0)
        x0, y0, x1, y1 = model["frame"]
        self.frame = Rectangle((x0, y0), x1 - x0, y1 - y0, transform=self.ax.transData)
        self.order = 0

    def add(self, artist: Any, gid: str, clipped: bool = False) -> None:
        self.order += 1
        artist.set_zorder(self.order)
        artist.set_gid(gid)
        if clipped:
            artist.set_clip_path(self.frame)
        from matplotlib.collections import Collection
        if isinstance(artist, Collection):
            self.ax.add_collection(artist)
        else:
            self.ax.add_artist(artist)

    def lines(self, lines: Sequence[Sequence[float]], gid: str, colour: str, width: float, clipped: bool = False,
              dash: Optional[Tuple[float, float]] = None) -> None:
        if not lines:
            return
        import matplotlib
        from matplotlib.collections import LineCollection
        style: Any = "solid"
        if dash is not None:  # the dash in points, however matplotlib scales it
            scale = width if matplotlib.rcParams["lines.scale_dashes"] else 1.0
            style = (0, (dash[0] / scale, dash[1] / scale))
        segments = [((l[0], l[1]), (l[2], l[3])) for l in lines]
        self.add(LineCollection(segments, colors=colour, linewidths=width, linestyles=style, capstyle="butt",
                                joinstyle="miter"), gid, clipped)

    def markers(self, markers: Sequence[Dict[str, Any]], gid: str, clipped: bool = False) -> None:
        if not markers:
            return
        from matplotlib.collections import PatchCollection
        self.add(PatchCollection([_shape(m) for m in markers], facecolors=[m["fill"] for m in markers],
                                 edgecolors=[m["edge"] for m in markers],
                                 linewidths=[m["edge_width"] for m in markers], joinstyle="miter"), gid, clipped)

    def polygons(self, polygons: Sequence[Any], gid: str, faces: Sequence[Any], edges: Sequence[Any],
                 width: float, clipped: bool = True) -> None:
        if not polygons:
            return
        from matplotlib.collections import PatchCollection
        self.add(PatchCollection(polygons, facecolors=faces, edgecolors=edges, linewidths=width,
                                 joinstyle="miter"), gid, clipped)

    def text(self, t: Dict[str, Any], gid: str) -> None:
        if not t["text"]:
            return
        from matplotlib.text import Text
        self.add(Text(t["x"], t["y"], t["text"], fontsize=t["size"], fontfamily="DejaVu Sans",
                      fontweight="bold" if t["bold"] else "normal", color=t["colour"], ha="left", va="baseline",
                      rotation=90 if t["vertical"] else 0, rotation_mode="anchor", usetex=False, parse_math=False,
                      transform=self.ax.transData), gid)


def _rgba(colour: str, alpha: float) -> Tuple[float, float, float, float]:
    from matplotlib.colors import to_rgb
    return (*to_rgb(colour), alpha)


def _scale_colour(stops: Sequence[str], t: float) -> np.ndarray:
    """The continuous scale's colour at t (0: its least value), linear between its stops."""
    from matplotlib.colors import to_rgb
    rgb = np.array([to_rgb(s) for s in stops])
    at = np.linspace(0.0, 1.0, len(stops))
    return np.array([np.interp(t, at, rgb[:, c]) for c in range(3)])


def _colour_bar(canvas: _Canvas, bar: Dict[str, Any]) -> None:
    from matplotlib.patches import Rectangle
    canvas.text(bar["title"], "colour_bar_title")
    x0, y0, x1, y1 = bar["bar"]
    # The ramp from the least value at the bottom of the bar to the greatest at its top.
    ramp = np.linspace(0.0, 1.0, 256) if bar["hi"] > bar["lo"] else np.full(1, 0.5)
    image = np.array([_scale_colour(bar["stops"], t) for t in ramp])[:, None, :]
    canvas.order += 1
    canvas.ax.imshow(image, extent=(x0, x1, y1, y0), origin="lower", aspect="auto", interpolation="nearest",
                     zorder=canvas.order).set_gid("colour_bar")
    canvas.add(Rectangle((x0, y0), x1 - x0, y1 - y0, fill=False, edgecolor="black", linewidth=0.5,
                         joinstyle="miter"), "colour_bar_edge")
    canvas.lines(bar["tick_marks"], "colour_bar_tick_marks", "black", 0.5)
    for t in bar["ticks"]:
        canvas.text(t, "colour_bar_ticks")


def draw(model: Dict[str, Any]) -> Any:
    """The figure model drawn on a new matplotlib Figure of its size, as the
    command draws it (tools/plot/render.cpp), layer by layer."""
    try:
        from matplotlib.figure import Figure
        from matplotlib.patches import Polygon, Rectangle
    except ImportError as e:
        raise ImportError(MATPLOTLIB_MISSING) from e
    figure = Figure(figsize=(model["width"] / 72, model["height"] / 72), facecolor="white")
    c = _Canvas(figure, model)
    # Within the frame: the strip chart's rows, the zero lines, the hulls and
    # ellipses, the species' arrows, the labels' leaders, the boxes, the
    # samples and the centroids.
    c.lines(model["row_lines"], "row_lines", GREY_ROWS, 0.5, clipped=True)
    c.lines(model["zero_lines"], "zero_lines", GREY_ZERO, 0.5, clipped=True, dash=(4, 3))
    outlines = model["outlines"]
    c.polygons([Polygon(np.column_stack([o["x"], o["y"]]), closed=True) for o in outlines], "outlines",
               [_rgba(o["colour"], 0.12) for o in outlines], [_rgba(o["colour"], 0.9) for o in outlines], 0.9)
    arrows = model["arrows"]
    c.lines([(a["x0"], a["y0"], a["x1"], a["y1"]) for a in arrows], "arrows", GREY_ARROWS, 0.8, clipped=True)
    heads = []
    for a in arrows:
        angle, head = math.atan2(a["y1"] - a["y0"], a["x1"] - a["x0"]), 5
        heads.append(Polygon([(a["x1"], a["y1"]),
                              (a["x1"] - head * math.cos(angle - 0.4), a["y1"] - head * math.sin(angle - 0.4)),
                              (a["x1"] - head * math.cos(angle + 0.4), a["y1"] - head * math.sin(angle + 0.4))]))
    c.polygons(heads, "arrow_heads", [GREY_ARROWS] * len(heads), ["none"] * len(heads), 0)
    c.lines([l["leader"] for l in model["labels"] if l["leader"] is not None], "leaders", GREY_LEADERS, 0.4,
            clipped=True)
    boxes = model["boxes"]
    c.polygons([Rectangle((b["x"] - b["half_width"], b["q3"]), 2 * b["half_width"], b["q1"] - b["q3"])
                for b in boxes], "boxes", [_rgba(b["colour"], 0.25) for b in boxes], ["none"] * len(boxes), 0)
    c.markers(model["markers"], "markers", clipped=True)
    whiskers = []
    for b in boxes:
        x, h = b["x"], b["half_width"]
        whiskers += [(x, b["q1"], x, b["lower"]), (x, b["q3"], x, b["upper"]),
                     (x - h / 2, b["lower"], x + h / 2, b["lower"]), (x - h / 2, b["upper"], x + h / 2, b["upper"])]
    c.lines(whiskers, "whiskers", GREY_BOXES, 0.8, clipped=True)
    c.polygons([Rectangle((b["x"] - b["half_width"], b["q3"]), 2 * b["half_width"], b["q1"] - b["q3"])
                for b in boxes], "box_edges", ["none"] * len(boxes), [GREY_BOXES] * len(boxes), 0.8)
    c.lines([(b["x"] - b["half_width"], b["median"], b["x"] + b["half_width"], b["median"]) for b in boxes],
            "medians", "black", 2, clipped=True)
    centroids = model["centroids"]
    bars = [m["marker"] for m in centroids if m["bar"]]
    c.lines([(m["x"], m["y"] - m["radius"], m["x"], m["y"] + m["radius"]) for m in bars], "centroid_bars",
            "black", 2, clipped=True)
    c.markers([m["marker"] for m in centroids if not m["bar"]], "centroids", clipped=True)
    # Over everything: the labels, then the frame, its ticks and the titles,
    # the colour bar, the legend and the note.
    for label in model["labels"]:
        c.text(label["text"], f"{label['kind']}_labels")
    x0, y0, x1, y1 = model["frame"]
    c.add(Rectangle((x0, y0), x1 - x0, y1 - y0, fill=False, edgecolor="black", linewidth=0.8, joinstyle="miter"),
          "frame")
    c.lines(model["tick_marks"], "tick_marks", "black", 0.8)
    for t in model["ticks"]:
        c.text(t, "ticks")
    for name in ("title", "subtitle", "x_title", "y_title"):
        c.text(model[name], name)
    if model["colour_bar"] is not None:
        _colour_bar(c, model["colour_bar"])
    c.markers([e["symbol"] for e in model["legend"] if e["symbol"] is not None], "legend_symbols")
    for e in model["legend"]:
        c.text(e["text"], "legend")
    c.text(model["note"], "note")
    return figure
