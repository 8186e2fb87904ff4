#!/usr/bin/env bash
# Every bundled example runs from its CSV tables to the report and, when the plotting
# front end is built, one SVG per ordination (factors plus residuals), each SVG
# rendered when a renderer exists.
set -euo pipefail
build=$1
examples=$(dirname "$0")/../../examples
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
declare -A plots=([dune_one_factor]=2 [dune_nested]=3 [three_level]=4)
for example in dune_one_factor dune_nested three_level; do
  out=$(TMPDIR=$root bash "$examples/run_demo.sh" "$build" "$example")
  work=$(printf '%s\n' "$out" | sed -n 's/^== report \(.*\)\/Morvenak.out:$/\1/p')
  grep -q ' No problem was detected in the orthogonal coding of the dummy variables' "$work/Morvenak.out"
  grep -q ' Computation time for nested anova:\| Computation time for anova:' "$work/Morvenak.out"
  if [ ! -x "$build/morvenak-plot" ]; then
    echo "$example: ok (morvenak-plot not built)"
    continue
  fi
  count=$(ls "$work"/figures/*.svg | wc -l)
  if [ "$count" -ne "${plots[$example]}" ]; then
    echo "$example: $count plots, expected ${plots[$example]}" >&2
    exit 1
  fi
  if command -v rsvg-convert >/dev/null; then
    for svg in "$work"/figures/*.svg; do rsvg-convert "$svg" -o "$svg.png"; done
  fi
  echo "$example: ok"
done
