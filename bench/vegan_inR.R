# The comparison with vegan made like for like: in one R session, the data
# in memory, the morvenak package's call against vegan's rda + anova, both on
# one thread and on the same Hellinger-transformed matrix, the two tools
# alternating, the median of several runs each.
#
#   OPENBLAS_NUM_THREADS=1 Rscript bench/vegan_inR.R [--runs 7] [--cases v1,v2,v3,v4]
#
# Cases (one main factor of 5 levels, gen_large.py's tables, as run_large.py's):
#   v1 501 x 500, 999 permutations;  v2 501 x 500, 9,999;
#   v3 132 x 178, 9,999;             v4 20 x 30, 99,999.
# Timed: morvenak(Yh, main = f, permutations = N, threads = 1, task = "anova")
# and rda(Yh ~ f) followed by anova(m, permutations = how(nperm = N),
# parallel = 1), each call's elapsed time, each after a garbage collection. Prints the BLAS, both medians,
# the ratio and both tools' F (which must agree to every printed digit).
# Run from the source tree with the package installed (R_LIBS).
suppressPackageStartupMessages({
  library(vegan)
  library(morvenak)
})

args <- commandArgs(trailingOnly = TRUE)
option <- function(name, default) {
  k <- match(name, args)
  if (is.na(k)) default else args[k + 1L]
}
runs <- as.integer(option("--runs", "7"))
wanted <- strsplit(option("--cases", "v1,v2,v3,v4"), ",")[[1]]
cases <- list(v1 = c(501, 500, 999), v2 = c(501, 500, 9999), v3 = c(132, 178, 9999), v4 = c(20, 30, 99999))
if (!all(wanted %in% names(cases))) stop("cases are ", paste(names(cases), collapse = ", "))

file_arg <- grep("^--file=", commandArgs(FALSE), value = TRUE)
here <- if (length(file_arg)) dirname(normalizePath(sub("^--file=", "", file_arg))) else "bench"
blas <- tryCatch(extSoftVersion()[["BLAS"]], error = function(e) "")
if (!nzchar(blas)) blas <- tryCatch(sessionInfo()$BLAS, error = function(e) "unknown")
cat(sprintf("BLAS: %s; LAPACK: %s; OPENBLAS_NUM_THREADS=%s\n", blas, La_library(),
            Sys.getenv("OPENBLAS_NUM_THREADS", "(unset)")))
cat(sprintf("R %s, vegan %s, morvenak %s\n", getRversion(), packageVersion("vegan"), packageVersion("morvenak")))

# Each call timed from a collected heap, so that neither tool pays for the
# other's garbage.
elapsed <- function(expr) {
  invisible(gc(verbose = FALSE))
  t0 <- Sys.time()
  value <- force(expr)
  list(seconds = as.numeric(Sys.time() - t0, units = "secs"), value = value)
}

for (name in wanted) {
  size <- cases[[name]]
  dir <- file.path(tempdir(), name)
  status <- system2("python3", c(file.path(here, "gen_large.py"), dir, "--n", size[1], "--p", size[2],
                                 "--levels", "5"))
  if (status != 0L) stop("gen_large.py failed")
  Y <- as.matrix(read.table(file.path(dir, "Y.tsv"), sep = "\t"))
  f <- factor(read.table(file.path(dir, "factors.tsv"), sep = "\t", colClasses = "character")[[1]])
  Yh <- decostand(Y, "hellinger")
  nperm <- size[3]
  ours <- theirs <- numeric(runs)
  for (k in seq_len(runs)) {
    a <- elapsed(morvenak(Yh, main = f, permutations = nperm, threads = 1, task = "anova"))
    b <- elapsed(anova(rda(Yh ~ f), permutations = how(nperm = nperm), parallel = 1))
    ours[k] <- a$seconds
    theirs[k] <- b$seconds
  }
  f_ours <- a$value$table$F[1]
  f_theirs <- b$value$F[1]
  cat(sprintf("%s (%d x %d, %d permutations): morvenak %s s, median %.4f; vegan %s s, median %.3f; ratio %.0f\n",
              name, size[1], size[2], nperm, paste(sprintf("%.4f", ours), collapse = " "), median(ours),
              paste(sprintf("%.3f", theirs), collapse = " "), median(theirs), median(theirs) / median(ours)))
  cat(sprintf("%s F: morvenak %.8f, vegan %.8f, P: morvenak %.5f, vegan %.5f\n", name, f_ours, f_theirs,
              a$value$table[["Pr(>F)"]][1], b$value[["Pr(>F)"]][1]))
  if (sprintf("%.8f", f_ours) != sprintf("%.8f", f_theirs)) stop(name, ": the two tools' F differ")
}
