"""Builds the extension morvenak._engine from the project's engine sources.

The engine's C++ sources are those listed in ../src/engine-sources.txt, the
list that CMake and the R package build from, and its layers those of
../src/layers.txt that the library needs (api and the layers below it that it
builds on); this script stops with a message when a listed file is missing,
when an engine folder holds a source the list leaves out, or when a source
does not include core/fp_contract.hpp first (the header that turns
floating-point contraction off). The figures' model (Result.plot) is
compiled from the sources of ../tools/plot/model-sources.txt, the list CMake
builds the command's from, with cairo, fontconfig and nlohmann-json as
pkg-config finds them. The package is built in place from a checkout of the
project:

    pip install --no-build-isolation ./python
"""

import os
import pathlib
import re
import subprocess
import sys

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent
SRC = HERE.parent / "src"
LIST = SRC / "engine-sources.txt"
LAYER_FILE = SRC / "layers.txt"
FP_CONTRACT = '#include "core/fp_contract.hpp"'
TOOLS = HERE.parent / "tools"
MODEL_LIST = TOOLS / "plot" / "model-sources.txt"
# What the figure model is drawn and measured with, and Debian's packages of it.
DRAWING = ["cairo", "fontconfig", "nlohmann_json"]
DRAWING_PACKAGES = "pkg-config libcairo2-dev libfontconfig-dev nlohmann-json3-dev"


def fail(message: str) -> None:
    sys.exit(f"morvenak setup: {message}")


def engine_layers() -> dict:
    """The library's layers, bottom up, each with its folder: the folder
    src/LAYER/FOLDER holds its sources and headers, included as
    "FOLDER/header.hpp" from src/LAYER."""
    if not LAYER_FILE.is_file():
        fail(f"{LAYER_FILE} is missing: build the package from a checkout of the project")
    folders, below = {}, {}
    for line in LAYER_FILE.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        found = re.fullmatch(r"([a-z_]+)(?:/([a-z_]+))?:(.*)", line)
        if not found:
            fail(f"src/layers.txt: '{line}' is not 'NAME: BELOW...' nor 'NAME/FOLDER: BELOW...'")
        name = found.group(1)
        folders[name] = found.group(2) or name
        below[name] = found.group(3).split()
    if "api" not in folders:
        fail("src/layers.txt has no layer api")
    wanted = {"api"}
    for name in reversed(list(folders)):
        if name in wanted:
            wanted.update(below[name])
    return {name: folder for name, folder in folders.items() if name in wanted}


LAYERS = engine_layers()


def engine_sources() -> list:
    """The listed sources, checked against the folders and the header rule."""
    if not LIST.is_file():
        fail(f"{LIST} is missing: build the package from a checkout of the project")
    listed = [line.strip() for line in LIST.read_text().splitlines()
              if line.strip() and not line.startswith("#")]
    paths = []
    for entry in listed:
        path = SRC / entry
        if not path.is_file():
            fail(f"src/engine-sources.txt lists {entry}, which does not exist")
        first = next((line for line in path.read_text().splitlines() if line.startswith("#include")), "")
        if first != FP_CONTRACT:
            fail(f"src/{entry}: its first include must be \"core/fp_contract.hpp\"")
        paths.append(path)
    for layer, folder in LAYERS.items():
        for source in sorted((SRC / layer / folder).glob("*.cpp")):
            if source not in paths:
                fail(f"{source.relative_to(SRC.parent)} is not in src/engine-sources.txt: add it there")
    # setuptools takes sources relative to this folder, not absolute paths.
    return [os.path.relpath(p, HERE) for p in paths]


def engine_headers() -> list:
    """Every header of the engine's layers: a change to one rebuilds the extension."""
    return [os.path.relpath(h, HERE) for layer, folder in LAYERS.items()
            for h in sorted((SRC / layer / folder).glob("*.hpp"))]


def model_sources() -> list:
    """The figure model's sources, as tools/plot/model-sources.txt lists them."""
    if not MODEL_LIST.is_file():
        fail(f"{MODEL_LIST} is missing: build the package from a checkout of the project")
    paths = []
    for line in MODEL_LIST.read_text().splitlines():
        entry = line.strip()
        if not entry or entry.startswith("#"):
            continue
        if not (TOOLS / entry).is_file():
            fail(f"tools/plot/model-sources.txt lists {entry}, which does not exist")
        paths.append(os.path.relpath(TOOLS / entry, HERE))
    return paths


def model_headers() -> list:
    return [os.path.relpath(h, HERE) for folder in ("plot", "common") for h in sorted((TOOLS / folder).glob("*.hpp"))]


def pkg_config(*what: str) -> list:
    """pkg-config's flags (--cflags or --libs) of the drawing libraries."""
    try:
        done = subprocess.run(["pkg-config", *what, *DRAWING], capture_output=True, text=True)
    except FileNotFoundError:
        fail(f"pkg-config is missing: the figures need it to find cairo and fontconfig (Debian: {DRAWING_PACKAGES})")
    if done.returncode != 0:
        fail(f"pkg-config finds no {', '.join(DRAWING)}: {done.stderr.strip()} (Debian: {DRAWING_PACKAGES})")
    return done.stdout.split()


class BuildWithDrawing(build_ext):
    """build_ext with cairo's, fontconfig's and nlohmann-json's flags, looked
    up when the extension is built (not for --version or an sdist)."""

    def build_extensions(self) -> None:
        cflags, libs = pkg_config("--cflags"), pkg_config("--libs")
        for ext in self.extensions:
            ext.extra_compile_args += cflags
            ext.extra_link_args += libs
        super().build_extensions()


def project_version() -> str:
    text = (SRC.parent / "CMakeLists.txt").read_text()
    found = re.search(r"project\(morvenak VERSION ([0-9.]+)", text)
    if not found:
        fail("no version in the project's CMakeLists.txt")
    return found.group(1)


VERSION = project_version()
# Sources compiled in parallel: MORVENAK_BUILD_JOBS of them, or one per core.
ParallelCompile("MORVENAK_BUILD_JOBS").install()

extension = Pybind11Extension(
    "morvenak._engine",
    ["morvenak/_engine.cpp"] + engine_sources() + model_sources(),
    include_dirs=[str(SRC / layer) for layer in LAYERS] + [str(TOOLS)],
    depends=engine_headers() + model_headers() + [os.path.relpath(p, HERE) for p in (LIST, LAYER_FILE, MODEL_LIST)],
    define_macros=[("MORVENAK_VERSION", f'"{VERSION}"')],
    cxx_std=17,
    # The same bits as the command line's build: no fused multiply-add (the
    # engine's pragma says so too), -O2 as in CMake's release build.
    extra_compile_args=["-O2", "-ffp-contract=off", "-pthread"],
    extra_link_args=["-pthread"],
)

setup(version=VERSION, packages=["morvenak"], package_data={"morvenak": ["py.typed"]}, ext_modules=[extension],
      cmdclass={"build_ext": BuildWithDrawing})
