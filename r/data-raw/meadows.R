# Writes data/meadows.R, the package's synthetic example data, from a fixed
# seed: 3 farms x 2 fields x 4 quadrats, 8 species. Each species has a base
# abundance; each farm multiplies it by a factor drawn from a log-normal law
# (sd 0.6), each field within its farm by one of sd 0.3; the counts are
# Poisson draws. Fields are named "field 1" and "field 2" on every farm: read
# within their farm they are 6 different fields. The farm is a factor whose
# levels are in the farms' order (South, North, East), not R's alphabetical
# one. Run from r/:
#   Rscript data-raw/meadows.R
set.seed(20250101)
species <- c("Bentgrass", "Ryegrass", "Clover", "Yarrow", "Buttercup", "Plantain", "Sorrel", "Daisy")
farms <- c("South", "North", "East")
base <- c(8, 6, 5, 3, 3, 2, 2, 1)
env <- expand.grid(quadrat = 1:4, field = c("field 1", "field 2"), farm = farms, stringsAsFactors = FALSE)
env <- env[, c("farm", "field")]
farm_effect <- matrix(exp(rnorm(length(farms) * length(species), sd = 0.6)), length(farms))
field_effect <- matrix(exp(rnorm(2 * length(farms) * length(species), sd = 0.3)), 2 * length(farms))
cell <- match(paste(env$farm, env$field), unique(paste(env$farm, env$field)))
lambda <- t(vapply(seq_len(nrow(env)), function(i) {
  base * farm_effect[match(env$farm[i], farms), ] * field_effect[cell[i], ]
}, numeric(length(species))))
counts <- matrix(rpois(length(lambda), lambda), nrow(lambda), dimnames = list(NULL, species))
rownames(counts) <- sprintf("q%02d", seq_len(nrow(counts)))

rows <- apply(counts, 1L, function(r) paste(r, collapse = ", "))
out <- c("# Synthetic meadow data, written by data-raw/meadows.R (see ?meadows): do not edit.",
         "meadows <- as.data.frame(matrix(c(",
         paste0("  ", rows, c(rep(",", length(rows) - 1L), "")),
         sprintf("), nrow = %d, byrow = TRUE, dimnames = list(%s, %s)))", nrow(counts),
                 paste(deparse(rownames(counts), width.cutoff = 500L), collapse = ""),
                 paste(deparse(colnames(counts), width.cutoff = 500L), collapse = "")),
         "meadows.env <- data.frame(",
         sprintf("  farm = factor(rep(%s, each = 8), levels = %s),", paste(deparse(farms), collapse = ""),
                 paste(deparse(farms), collapse = "")),
         "  field = rep(rep(c(\"field 1\", \"field 2\"), each = 4), 3),",
         "  row.names = rownames(meadows), stringsAsFactors = TRUE)")
stopifnot(identical(env$farm, rep(farms, each = 8)), identical(env$field, rep(rep(c("field 1", "field 2"), each = 4), 3)))
writeLines(out, "data/meadows.R")
