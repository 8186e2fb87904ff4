#!/usr/bin/env bash
# The R package, built from the tree into a tarball and installed, against the
# engine live: on the dune tables of tests/tools/data, for each case of the
# package's cases.tsv, the package's table must equal, bit for bit, what the
# built C++ library gives (morvenak_api_results); and the figures' models that
# plot() draws must be, byte for byte, the JSON that `morvenak run` then
# `morvenak plot --format json` of the built program write, for a design of one
# factor (its ordination a strip chart of one axis), of two levels and of three.
# Usage: package_vs_engine.sh ROOT WORK TOOL MORVENAK
set -euo pipefail
root=$1
work=$2
tool=$3
program=$4
rm -rf "$work"
mkdir -p "$work/lib"
bash "$root/scripts/r-package.sh" "$work" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
tarball=$(ls "$work"/morvenak_*.tar.gz)
R CMD INSTALL --no-test-load -l "$work/lib" "$tarball" >"$work/install.log" 2>&1 || { tail -40 "$work/install.log"; exit 1; }
R_LIBS="$work/lib" Rscript - "$root" "$tool" "$program" "$work" <<'RSCRIPT'
args <- commandArgs(trailingOnly = TRUE)
root <- args[1]; tool <- args[2]; program <- args[3]; work <- args[4]
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

# The figures. The labels table is dune's with a factor of two levels (Wet:
# moisture 4 and 5) and Moisture's labels "M1" ..., read by both as text.
dune <- file.path(root, "tests/tools/data/dune")
Y <- utils::read.csv(file.path(dune, "dune.csv"), row.names = 1, check.names = FALSE)
env <- utils::read.csv(file.path(dune, "dune.env.csv"), row.names = 1, colClasses = "character")
env$Wet <- ifelse(env$Moisture %in% c("4", "5"), "wet", "dry")
env$Moisture <- paste0("M", env$Moisture)
labels <- file.path(work, "labels.csv")
utils::write.csv(env, labels)
designs <- list(
  one = list(factors = "Wet", levels = NULL),
  two = list(factors = c("Management", "Use"), levels = c(Management = "NM,HF,BF,SF")),
  three = list(factors = c("Management", "Use", "Moisture"), levels = NULL))
# The command's options and plot()'s, the same figure.
options <- list(
  plain = list(command = character(), r = list()),
  drawn = list(command = c("--axes", "2,1", "--hulls", "--ellipses", "--point-labels", "numbers",
                           "--top-species", "3", "--width", "8", "--height", "5", "--scores", "fitted"),
               r = list(choices = c(2, 1), hulls = TRUE, ellipses = TRUE, point_labels = "numbers",
                        top_species = 3, width = 8, height = 5, scores = "fitted")),
  styled = list(command = c("--colour-by", "A1", "--shape-by", "Use", "--point-labels", "none"),
                r = list(colour_by = "A1", shape_by = "Use", point_labels = "none", data = env)))
compared <- 0L
each <- function(flag, values) as.character(unlist(lapply(values, function(v) c(flag, v))))
for (d in names(designs)) {
  design <- designs[[d]]
  run <- file.path(work, paste0("run-", d))
  unlink(run, recursive = TRUE)
  given <- c("--species", file.path(dune, "dune.csv"), "--labels", labels, "--main", design$factors[1],
             each("--nested", design$factors[-1]), "--transform", "hellinger", "--permutations", "0",
             "--threads", "1", "--output", run,
             each("--levels", if (length(design$levels)) paste0(names(design$levels), "=", design$levels)))
  stopifnot(is.null(attr(system2(program, c("run", given), stdout = TRUE), "status")))
  data <- env
  for (f in names(design$levels)) data[[f]] <- factor(data[[f]], levels = strsplit(design$levels[[f]], ",")[[1]])
  # (warned of, as the command warns: subgroups of a single sample)
  m <- suppressWarnings(morvenak(Y, design$factors[1], nested = if (length(design$factors) > 1) design$factors[-1],
                                 data = data, transform = "hellinger", permutations = 0, threads = 1))
  for (o in names(options)) {
    figures <- file.path(work, paste0("figures-", d, "-", o))
    unlink(figures, recursive = TRUE)
    out <- system2(program, c("plot", run, "--format", "json", "--output", figures, options[[o]]$command),
                   stdout = TRUE)
    stopifnot(is.null(attr(out, "status")))
    written <- sort(list.files(figures, pattern = "^ordination-[0-9]+[.]json$"))
    test_that(sprintf("plot() draws the command's figure models: %s, %s", d, o), {
      expect_identical(written, sprintf("ordination-%d.json", seq_along(m$ordinations)))
      for (k in seq_along(m$ordinations)) {
        grDevices::pdf(NULL)
        model <- do.call(plot, c(list(m, ordination = k), options[[o]]$r))
        grDevices::dev.off()
        path <- file.path(figures, sprintf("ordination-%d.json", k))
        expect_identical(attr(model, "json"), readChar(path, file.size(path), useBytes = TRUE))
        if (d == "one" && k == 1L) expect_true(model$strip)
        compared <<- compared + 1L
      }
    })
  }
}
cat(sprintf("%d figures: plot()'s models are the command's, byte for byte\n", compared))
RSCRIPT
