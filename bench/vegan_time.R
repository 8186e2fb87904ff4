# Times vegan's rda + anova on a table of gen_large.py, inside one R session
# with the data in memory (reading and the Hellinger transformation are not
# timed). Prints: fit seconds, test seconds, P of each term.
#   Rscript bench/vegan_time.R DIR NPERM
# Run with OPENBLAS_NUM_THREADS=1; the BLAS R uses is printed first.
suppressPackageStartupMessages(library(vegan))
args <- commandArgs(trailingOnly = TRUE)
dir <- args[1]
nperm <- as.integer(args[2])
blas <- tryCatch(extSoftVersion()[["BLAS"]], error = function(e) "unknown")
cat("BLAS:", blas, "\n")
Y <- as.matrix(read.table(file.path(dir, "Y.tsv"), sep = "\t"))
f <- read.table(file.path(dir, "factors.tsv"), sep = "\t", colClasses = "character")
Y <- decostand(Y, "hellinger")
main <- factor(f[[1]])
t0 <- proc.time()[["elapsed"]]
if (ncol(f) == 1) {
  m <- rda(Y ~ main)
} else {
  sub <- factor(f[[2]])
  m <- rda(Y ~ main + main:sub)
}
t1 <- proc.time()[["elapsed"]]
a <- if (ncol(f) == 1) anova(m, permutations = how(nperm = nperm), parallel = 1) else
  anova(m, permutations = how(nperm = nperm), by = "terms", parallel = 1)
t2 <- proc.time()[["elapsed"]]
cat(sprintf("fit %.3f test %.3f\n", t1 - t0, t2 - t1))
print(a)
