#!/usr/bin/env bash
# The Python package's tests: pip builds and installs python/ into a virtual
# environment of the build folder (Debian's /usr/bin/python3, with its
# system site packages: numpy, pandas, pytest, scikit-bio, matplotlib), then
# pytest runs python/tests against the installed package, the library API
# built in the build folder (morvenak_result_dump) and the command (its
# `morvenak plot` runs the build's morvenak-plot beside it).
# usage: python-test.sh BUILD_DIR RESULT_DUMP MORVENAK
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: python-test.sh BUILD_DIR RESULT_DUMP MORVENAK" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
dump=$(realpath "$2")
command=$(realpath "$3")
python=/usr/bin/python3
venv=$build/python-venv
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
# The extension is rebuilt when an engine source or header is newer than it
# (setuptools keeps its objects in python/build).
"$venv/bin/python" -m pip install --quiet --no-index --no-deps --no-build-isolation --force-reinstall "$root/python"
# Away from python/, so that `import morvenak` finds the installed package.
cd "$build"
MORVENAK_RESULT_DUMP=$dump MORVENAK_COMMAND=$command MORVENAK_ROOT=$root \
  "$venv/bin/python" -m pytest -p no:cacheprovider -q "$root/python/tests"
