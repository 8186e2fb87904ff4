#!/usr/bin/env bash
# The README's quick start from an installed copy, in a folder outside the build:
# cmake --install into a fresh prefix, then the two commands on the dune tables.
set -euo pipefail
build=$1 data=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/morvenak-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > /dev/null
for f in bin/morvenak bin/morvenak-prepare bin/morvenak-plot share/doc/morvenak/README.md \
         share/doc/morvenak/user-guide.md share/doc/morvenak/messages.md; do
  [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
mkdir "$work/run" && cp "$data/dune.csv" "$data/dune.env.csv" "$work/run"
cd "$work/run"
export PATH="$work/prefix/bin:$PATH"
# The two commands of the README, as written there.
grep -q '^morvenak run --species dune.csv --labels dune.env.csv --main Management --nested Use --transform hellinger$' \
  "$work/prefix/share/doc/morvenak/README.md"
morvenak run --species dune.csv --labels dune.env.csv --main Management --nested Use --transform hellinger > /dev/null 2>&1
grep -q '^morvenak plot dune-morvenak$' "$work/prefix/share/doc/morvenak/README.md"
morvenak plot dune-morvenak > /dev/null
n=$(ls dune-morvenak/figures/*.svg | wc -l)
[ "$n" -eq 3 ] || { echo "expected 3 figures, found $n"; exit 1; }
grep -q '^main	Management	3	7	' dune-morvenak/results.tsv || { echo "results.tsv"; cat dune-morvenak/results.tsv; exit 1; }
echo "install quick start: ok"
