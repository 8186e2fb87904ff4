#!/usr/bin/env bash
# From two CSV tables to the results and their figures, in a fresh temporary folder:
#   1. morvenak run analyses the design and writes its results folder (the summary on
#      the terminal, then results.tsv shown);
#   2. morvenak plot draws one figure per ordination, the samples at their site scores
#      around their groups' fitted centroids (into results/figures/).
# usage: run_example.sh BUILD_DIR [EXAMPLE]   (EXAMPLE: dune_nested, dune_one_factor, three_level)
# (run_demo.sh goes the classic way: the dialogue answered from a file.)
set -euo pipefail
build=$(realpath "${1:-build}")
example=${2:-dune_nested}
here=$(realpath "$(dirname "$0")")
case "$example" in
  dune_nested)     tables=("$here/data/dune.csv" "$here/data/dune.env.cells.csv")
                   design=(--main Management --nested Use) ;;
  dune_one_factor) tables=("$here/data/dune.csv" "$here/data/dune.env.cells.csv")
                   design=(--main Management) ;;
  three_level)     tables=("$here/three_level/quadrats.csv" "$here/three_level/labels.csv")
                   design=(--main Region --nested Site --nested Transect) ;;
  *) echo "unknown example: $example" >&2; exit 2 ;;
esac
work=$(mktemp -d "${TMPDIR:-/tmp}/morvenak-demo-XXXXXX")
cd "$work"
echo "== $example, in $work"
echo "\$ morvenak run --species ${tables[0]##*/} --labels ${tables[1]##*/} ${design[*]} --transform hellinger --permutations 999 --output results"
"$build/morvenak" run --species "${tables[0]}" --labels "${tables[1]}" "${design[@]}" \
    --transform hellinger --permutations 999 --output results
echo "== results/results.tsv:"
if command -v column >/dev/null; then column -t -s $'\t' results/results.tsv; else cat results/results.tsv; fi
if [ -x "$build/morvenak-plot" ]; then
  echo "\$ morvenak plot results --format svg,png"
  "$build/morvenak" plot results --format svg,png
  echo "== figures:"
  ls "$work"/results/figures/*
else
  echo "== no figures: morvenak-plot was not built (it needs cairo and fontconfig)"
fi
