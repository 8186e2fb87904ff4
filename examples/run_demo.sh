#!/usr/bin/env bash
# From two CSV tables to the report and the plots through the classic dialogue (make
# demo-classic), in a fresh temporary folder:
#   1. morvenak prepare codes the factors and writes the program's input files;
#   2. morvenak runs the analysis, answering the dialogue from answers.txt;
#   3. morvenak plot draws one figure per ordination of the score file, its samples
#      named and grouped from the same tables (into figures/).
# usage: run_demo.sh BUILD_DIR [EXAMPLE]   (EXAMPLE: dune_nested, dune_one_factor, three_level)
set -euo pipefail
build=$(realpath "${1:-build}")
example=${2:-dune_nested}
here=$(realpath "$(dirname "$0")")
case "$example" in
  dune_nested)     tables=("$here/data/dune.csv" "$here/data/dune.env.cells.csv"); factors=(-m Management -n Cell)
                   plot_factors=(--main Management --nested Cell) ;;
  dune_one_factor) tables=("$here/data/dune.csv" "$here/data/dune.env.cells.csv"); factors=(-m Management)
                   plot_factors=(--main Management) ;;
  three_level)     tables=("$here/three_level/quadrats.csv" "$here/three_level/labels.csv"); factors=(-m Region -n Site -n Transect)
                   plot_factors=(--main Region --nested Site --nested Transect) ;;
  *) echo "unknown example: $example" >&2; exit 2 ;;
esac
work=$(mktemp -d "${TMPDIR:-/tmp}/morvenak-demo-XXXXXX")
cd "$work"
echo "== $example, in $work"
echo "\$ morvenak prepare -s ${tables[0]##*/} -l ${tables[1]##*/} ${factors[*]}"
"$build/morvenak" prepare -s "${tables[0]}" -l "${tables[1]}" "${factors[@]}"
echo "\$ morvenak < answers.txt   ($(tr '\n' ' ' < "$here/$example/answers.txt"))"
"$build/morvenak" < "$here/$example/answers.txt" > console.txt
echo "\$ morvenak plot FittedSc.out --species ${tables[0]##*/} --labels ${tables[1]##*/} ${plot_factors[*]}"
"$build/morvenak" plot FittedSc.out --species "${tables[0]}" --labels "${tables[1]}" "${plot_factors[@]}"
echo "== report $work/Morvenak.out:"
cat Morvenak.out
if [ -d figures ]; then
  echo "== plots:"
  ls "$work"/figures/*.svg
fi
