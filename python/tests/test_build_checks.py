"""The package's build (python/setup.py) refuses an engine source list that
disagrees with the engine's folders, as CMake does: a listed file that is
missing, a source the list leaves out, a source that does not turn
floating-point contraction off first; and a figure model's source list that
names a missing file. Run on a small copy of the tree."""

import shutil
import subprocess
import sys

import pytest

from conftest import ROOT

GOOD = '#include "core/fp_contract.hpp"\n#include "core/a.hpp"\n'


def tree(tmp_path, listed, files, model=("plot/model.cpp",)):
    (tmp_path / "python").mkdir()
    plot = tmp_path / "tools" / "plot"
    plot.mkdir(parents=True)
    (plot / "model.cpp").write_text("")
    (plot / "model-sources.txt").write_text("# the figures\n" + "".join(f"{f}\n" for f in model))
    shutil.copy(ROOT / "python" / "setup.py", tmp_path / "python" / "setup.py")
    (tmp_path / "CMakeLists.txt").write_text("project(morvenak VERSION 9.8.7 LANGUAGES CXX)\n")
    src = tmp_path / "src"
    src.mkdir()
    shutil.copy(ROOT / "src" / "layers.txt", src / "layers.txt")
    (src / "engine-sources.txt").write_text("# the engine\n" + "".join(f"{f}\n" for f in listed))
    for name, text in files.items():
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text(text)
    return subprocess.run([sys.executable, "setup.py", "--version"], cwd=tmp_path / "python",
                          capture_output=True, text=True)


def test_a_list_that_agrees_with_the_folders_builds(tmp_path):
    done = tree(tmp_path, ["core/core/a.cpp"], {"core/core/a.cpp": GOOD})
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "9.8.7")


@pytest.mark.parametrize("listed, files, message", [
    (["core/core/a.cpp", "core/core/gone.cpp"], {"core/core/a.cpp": GOOD},
     "src/engine-sources.txt lists core/core/gone.cpp, which does not exist"),
    (["core/core/a.cpp"], {"core/core/a.cpp": GOOD, "anova/anova/new.cpp": GOOD},
     "src/anova/anova/new.cpp is not in src/engine-sources.txt: add it there"),
    (["core/core/a.cpp"], {"core/core/a.cpp": '#include "core/a.hpp"\n#include "core/fp_contract.hpp"\n'},
     'src/core/core/a.cpp: its first include must be "core/fp_contract.hpp"'),
])
def test_a_list_that_disagrees_stops_the_build_with_a_message(tmp_path, listed, files, message):
    done = tree(tmp_path, listed, files)
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == f"morvenak setup: {message}"


def test_a_model_source_list_naming_a_missing_file_stops_the_build(tmp_path):
    done = tree(tmp_path, ["core/core/a.cpp"], {"core/core/a.cpp": GOOD}, model=["plot/model.cpp", "plot/gone.cpp"])
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == (
        "morvenak setup: tools/plot/model-sources.txt lists plot/gone.cpp, which does not exist")
