#!/usr/bin/env bash
# The R package, built from the tree into a tarball and installed, against the
# engine live: on the dune tables of tests/tools/data, for each case of the
# package's cases.tsv, the package's table must equal, bit for bit, what the
# built C++ library gives (morvenak_api_results).
# Usage: package_vs_engine.sh ROOT WORK TOOL
set -euo pipefail
root=$1
work=$2
tool=$3
rm -rf "$work"
mkdir -p "$work/lib"
bash "$root/scripts/r-package.sh" "$work" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
tarball=$(ls "$work"/morvenak_*.tar.gz)
R CMD INSTALL --no-test-load -l "$work/lib" "$tarball" >"$work/install.log" 2>&1 || { tail -40 "$work/install.log"; exit 1; }
R_LIBS="$work/lib" Rscript - "$root" "$tool" <<'RSCRIPT'
args <- commandArgs(trailingOnly = TRUE)
root <- args[1]; tool <- args[2]
library(testthat)
library(morvenak)
# The package's own helpers, on the repository's copy of the dune tables.
test_path <- function(...) file.path(root, "r/tests/testthat", ...)
source(file.path(root, "r/tests/testthat/helper-data.R"))
dune_tables <- function() {
  Y <- utils::read.csv(file.path(root, "tests/tools/data/dune/dune.csv"), row.names = 1)
  env <- utils::read.csv(file.path(root, "tests/tools/data/dune/dune.env.csv"), row.names = 1)
  list(Y = Y, env = env)
}
cases <- stored_cases()
for (k in seq_len(nrow(cases))) {
  dune <- file.path(root, "tests/tools/data/dune")
  seed <- if (nzchar(cases$seed[k])) cases$seed[k] else "1"
  how <- if (nzchar(cases$distance[k])) paste0(cases$transform[k], ":", cases$distance[k]) else cases$transform[k]
  out <- system2(tool, c(file.path(dune, c("dune.csv", "dune.env.csv")), how, cases$permutations[k],
                         seed, strsplit(cases$factors[k], " ")[[1]]), stdout = TRUE)
  stopifnot(is.null(attr(out, "status")))
  live <- utils::read.delim(text = out, colClasses = "character", na.strings = character())
  test_that(paste("the package gives the engine's table:", cases$case[k]), {
    for (threads in c(1L, 2L)) expect_table_is_stored(run_case(cases[k, ], threads = threads), live)
  })
}
cat(sprintf("%d cases: the package's tables are the engine's, bit for bit\n", nrow(cases)))
RSCRIPT
