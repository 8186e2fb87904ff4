#!/usr/bin/env bash
# CI for the Python package on a fresh machine: the Debian packages it needs
# (installed when missing), the library API and the classic command built by
# CMake, then scripts/python-test.sh: the package built and installed by pip
# into a virtual environment with the system's site packages, and its tests.
# usage: python-ci.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash scripts/deps.sh build test python
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j 2 --target morvenak morvenak-plot morvenak_result_dump
bash scripts/python-test.sh "$build" "$build/tests/morvenak_result_dump" "$build/morvenak"
