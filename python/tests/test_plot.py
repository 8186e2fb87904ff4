"""Result.figure_model and Result.plot against `morvenak plot` of the same
tables: the model's JSON text byte for byte, and the matplotlib drawing
against the command's PNG, for designs of one, two and three levels (the
first of a factor of two levels, whose ordination has one axis)."""

import io
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure
from matplotlib.image import imread

import morvenak
from morvenak._plot import figure_json
from conftest import DUNE, ROOT, built_program

THREE = ROOT / "examples" / "three_level"
# Each design: its tables, the command's options, then analyse's and the figures' in
# Python. The options differ from design to design so that each reaches the model.
DESIGNS = {
    "one factor of two levels": ("dune", ["--main", "Fertilised"], ["--colour-by", "A1"],
                                 dict(main="Fertilised"), dict(colour_by="A1 as values")),
    "nested": ("dune", ["--main", "Management", "--nested", "Use", "--transform", "hellinger"],
               ["--hulls", "--point-labels", "numbers", "--shape-by", "Moisture", "--top-species", "5"],
               dict(main="Management", nested="Use", transform="hellinger"),
               dict(hulls=True, point_labels="numbers", shape_by="Moisture", top_species=5)),
    "three levels, Bray-Curtis": ("three", ["--main", "Region", "--nested", "Site", "--nested", "Transect",
                                            "--distance", "bray", "--task", "both"],
                                  ["--ellipses", "--scores", "fitted", "--axes", "1,3", "--width", "8"],
                                  dict(main="Region", nested=["Site", "Transect"], distance="bray", task="both"),
                                  dict(ellipses=True, scores="fitted", axes=(1, 3), width=8)),
}


@pytest.fixture(scope="module", params=sorted(DESIGNS))
def design(request, tmp_path_factory):
    """The design's Result, its figures' options, and the folder of the
    command's figures (ordination-K.json and .png at 100 dpi)."""
    tables, run, plot, given, options = DESIGNS[request.param]
    if tables == "dune":
        species = pd.read_csv(DUNE / "dune.csv", index_col=0)
        env = pd.read_csv(DUNE / "dune.env.csv", index_col=0)
        env["Fertilised"] = np.where(env["Management"] == "NM", "no", "yes")
    else:
        species = pd.read_csv(THREE / "quadrats.csv", index_col=0)
        env = pd.read_csv(THREE / "labels.csv", index_col=0)
    folder = tmp_path_factory.mktemp("plot")
    species.to_csv(folder / "species.csv")
    env.to_csv(folder / "labels.csv")
    command = str(built_program("MORVENAK_COMMAND"))
    subprocess.run([command, "run", "--species", str(folder / "species.csv"), "--labels", str(folder / "labels.csv"),
                    "--permutations", "0", "--output", str(folder / "run"), *run], check=True, capture_output=True)
    subprocess.run([command, "plot", str(folder / "run"), "--format", "json,png", "--dpi", "100", "--output",
                    str(folder / "figures"), *plot], check=True, capture_output=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", morvenak.MorvenakWarning)
        result = morvenak.analyse(species, data=env, permutations=0, **given)
    if options.get("colour_by") == "A1 as values":  # a Series, matched by its index
        options = dict(options, colour_by=env["A1"].sample(frac=1, random_state=1))
    return result, options, folder / "figures"


def test_the_model_is_the_commands_byte_for_byte(design):
    result, options, figures = design
    drawn = 0
    for o in result.ordinations:
        path = figures / f"ordination-{o.number}.json"
        if path.exists():
            assert figure_json(result, o.number, **options) == path.read_text()
            drawn += 1
        else:  # the command draws no figure without the axes asked: here, an error
            with pytest.raises(morvenak.InvalidInput, match=f"ordination {o.number}, .*no axis"):
                result.figure_model(o.number, **options)
    assert drawn == len(list(figures.glob("*.json"))) > 0


def blocks(png: np.ndarray, size: int = 6) -> np.ndarray:
    """The picture's colours averaged over squares of size pixels."""
    h, w = png.shape[0] // size * size, png.shape[1] // size * size
    return png[:h, :w, :3].reshape(h // size, size, w // size, size, 3).mean(axis=(1, 3))


def test_plot_draws_the_commands_figure(design):
    result, options, figures = design
    for path in sorted(figures.glob("*.png")):
        k = int(path.stem.split("-")[1])
        model = result.figure_model(k, **options)
        fig = result.plot(k, **options)
        assert isinstance(fig, Figure)
        assert tuple(fig.get_size_inches() * 72) == pytest.approx((model["width"], model["height"]))
        # Every sample drawn once, each in one marker, and the legend's names told apart.
        samples = sorted(i for m in model["markers"] for i in m["samples"])
        assert samples == list(range(result.n))
        legend = [e["text"]["text"] for e in model["legend"]]
        assert len(set(legend)) == len(legend)
        # Each sample's marker, each species' arrow and each group's outline drawn.
        drawn = {a.get_gid(): len(a.get_paths()) for a in fig.axes[0].get_children() if hasattr(a, "get_paths")}
        for layer in ("markers", "arrows", "outlines"):
            assert drawn.get(layer, 0) == len(model[layer]), layer
        # The drawing is the command's but for the rasterising of the text.
        png = io.BytesIO()
        fig.savefig(png, format="png", dpi=100)
        png.seek(0)
        ours, theirs = blocks(imread(png)), blocks(imread(path))
        assert ours.shape == theirs.shape
        assert np.abs(ours - theirs).max() < 0.5, path.name


def test_plot_without_matplotlib_names_the_package(monkeypatch):
    result = morvenak.analyse([[1., 2], [2, 1], [5, 5], [6, 4]], ["x", "x", "y", "y"], permutations=0)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match="python3-matplotlib"):
        result.plot(1)
