#!/usr/bin/env bash
# R CMD check of the R package's tarball (made by scripts/r-package.sh into
# OUT, build/r by default), without the PDF manual. Suggested packages are
# required, so that the tests that compare with vegan run. Fails on any ERROR
# or WARNING; NOTEs are shown. The only repository is an empty local one
# (R_PROFILE below), so that the check looks nothing up on the network.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/r}
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(sed -n 's/^Version: *//p' "$root/r/DESCRIPTION")
tarball=$out/morvenak_$version.tar.gz
test -f "$tarball" || { echo "r-check: no $tarball: run make r-package first" >&2; exit 2; }
cd "$out"
rm -rf morvenak.Rcheck
mkdir -p empty-repository/src/contrib
: >empty-repository/src/contrib/PACKAGES
echo "options(repos = c(local = 'file://$out/empty-repository'))" >r-check-profile.R
status=0
R_PROFILE="$out/r-check-profile.R" _R_CHECK_FORCE_SUGGESTS_=true R CMD check --no-manual "$tarball" || status=$?
log=morvenak.Rcheck/00check.log
if [ ! -f "$log" ]; then
  echo "r-check: R CMD check wrote no log" >&2
  exit 1
fi
verdict=$(grep '^Status:' "$log" || true)
echo "r-check: ${verdict:-no status line}"
if [ "$status" -ne 0 ] || [ -z "$verdict" ] || grep -q 'ERROR\|WARNING' <<<"$verdict"; then
  grep -B2 -A20 'WARNING\|ERROR' "$log" | head -80 >&2 || true
  for f in morvenak.Rcheck/tests/*.Rout.fail; do [ -f "$f" ] && tail -40 "$f" >&2; done
  exit 1
fi
