#!/usr/bin/env bash
# Installs the Debian packages that a set of make targets needs, only those
# missing. usage: deps.sh SET...
#   build  the program and the companion tools
#   test   the unit and end-to-end tests (on top of build)
#   python the Python package (Debian's Python, its build tools and the
#          test dependencies: pandas, pytest, scikit-bio, matplotlib)
#   fuzz   the libFuzzer targets (clang and its runtime)
#   mpi    the MPI build of the run command (Open MPI)
#   format the layout check (clang-format 14)
set -euo pipefail
declare -A sets=(
  [build]="cmake g++ make pkg-config libcli11-dev libcsv-dev nlohmann-json3-dev libssl-dev libcairo2-dev libfontconfig-dev fonts-dejavu-core"
  [test]="libgtest-dev python3 librsvg2-bin poppler-utils"
  [python]="python3 python3-dev python3-venv python3-pip python3-setuptools python3-wheel python3-pybind11 python3-numpy python3-pandas python3-pytest python3-skbio python3-matplotlib"
  [fuzz]="clang libclang-rt-dev"
  [mpi]="openmpi-bin libopenmpi-dev"
  [format]="clang-format-14"
)
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for set in "$@"; do
  [ -n "${sets[$set]+x}" ] || { echo "deps.sh: unknown set '$set' (build, test, python, fuzz, mpi, format)" >&2; exit 2; }
  for pkg in ${sets[$set]}; do
    have "$pkg" || need+=("$pkg")
  done
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
