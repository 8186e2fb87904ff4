#!/usr/bin/env bash
# The guide's figures (docs/figures, PNG), drawn by morvenak run and morvenak plot:
#   dune-ordination-K.png     the bundled dune tables, Use nested in Management;
#   mite-ordination-K.png     vegan's mite, Shrub nested in Topo, and
#   mite-water-ordination-2.png  the same coloured by water content, shaped by Shrub;
#   pyrifos-ordination-K.png  vegan's pyrifos, ditch nested in dose.
# mite and pyrifos are not bundled: they are written from R's vegan, when R has it;
# without it only the dune figures are drawn, and the script says so.
# usage: make_figures.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-docs/figures}")
here=$(realpath "$(dirname "$0")")
work=$(mktemp -d "${TMPDIR:-/tmp}/morvenak-figures-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
cd "$work"

# figure NAME PLOT_OPTIONS... -- RUN_OPTIONS...: one run, its figures as NAME-ordination-K.png.
run_and_plot() {
  local name=$1; shift
  "$build/morvenak" run "$@" --permutations 0 --quiet --output "$name" 2>/dev/null
  "$build/morvenak" plot "$name" --format png --prefix "$name-ordination-" --output "$name/png"
}

run_and_plot dune --species "$here/data/dune.csv" --labels "$here/data/dune.env.cells.csv" \
    --main Management --nested Use --transform hellinger
cp dune/png/dune-ordination-*.png "$out"/

if command -v Rscript >/dev/null && Rscript -e 'suppressMessages(library(vegan))' 2>/dev/null; then
  Rscript - <<'EOF'
suppressMessages(library(vegan))
data(mite); data(mite.env); data(pyrifos)
write.csv(mite, "mite.csv")
write.csv(mite.env, "mite.env.csv")
# pyrifos' design as vegan's help gives it: 12 ditches over 11 weeks, each ditch one dose.
week <- gl(11, 12, labels = c(-4, -1, 0.1, 1, 2, 4, 8, 12, 15, 19, 24))
dose <- factor(rep(c(0.1, 0, 0, 0.9, 0, 44, 6, 0.1, 44, 0.9, 0, 6), 11))
ditch <- gl(12, 1, length = 132)
rn <- paste0("s", seq_len(nrow(pyrifos)))
write.csv(data.frame(sample = rn, pyrifos, check.names = FALSE), "pyrifos.csv", row.names = FALSE)
write.csv(data.frame(sample = rn, dose, week, ditch), "pyrifos.env.csv", row.names = FALSE)
EOF
  run_and_plot mite --species mite.csv --labels mite.env.csv --main Topo --nested Shrub \
      --transform hellinger
  "$build/morvenak" plot mite --format png --prefix mite-water-ordination- --output mite/water \
      --colour-by WatrCont --shape-by Shrub
  cp mite/png/mite-ordination-*.png mite/water/mite-water-ordination-2.png "$out"/
  # pyrifos is log-transformed in vegan already.
  run_and_plot pyrifos --species pyrifos.csv --labels pyrifos.env.csv --levels dose=0,0.1,0.9,6,44 \
      --main dose --nested ditch
  cp pyrifos/png/pyrifos-ordination-*.png "$out"/
else
  echo "R with vegan not found: mite and pyrifos are not bundled, so only the dune figures were drawn" >&2
fi
echo "== figures in $out:"
ls "$out"
