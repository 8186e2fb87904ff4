# vegan's dune tables, which the package does not ship. vegan is a test
# dependency: without it these tests fail, they never skip.
dune_tables <- function() {
  if (!requireNamespace("vegan", quietly = TRUE))
    stop("these tests need vegan's dune data: install vegan (Debian: r-cran-vegan)")
  e <- new.env()
  utils::data("dune", "dune.env", package = "vegan", envir = e)
  list(Y = e$dune, env = e$dune.env)
}

relative_gap <- function(a, b) max(abs(a - b) / abs(b))

results_dir <- function() test_path("results")

stored_cases <- function() {
  cases <- utils::read.delim(file.path(results_dir(), "cases.tsv"), colClasses = "character")
  stopifnot(nrow(cases) > 0L)
  cases
}

read_stored <- function(name) {
  utils::read.delim(file.path(results_dir(), name), colClasses = "character", na.strings = character())
}

# The package's analysis of a stored case, on vegan's dune tables. A factor
# written COLUMN=LEVEL1,LEVEL2,... is an R factor with those levels; the others
# are text, their levels in order of first appearance.
run_case <- function(case, threads = 1L) {
  d <- dune_tables()
  given <- strsplit(strsplit(case$factors, " ")[[1L]], "=", fixed = TRUE)
  factors <- vapply(given, `[`, "", 1L)
  env <- lapply(given, function(s) {
    labels <- as.character(d$env[[s[1L]]])
    if (length(s) > 1L) factor(labels, levels = strsplit(s[2L], ",", fixed = TRUE)[[1L]]) else labels
  })
  names(env) <- factors
  morvenak(d$Y, factors[1L], nested = if (length(factors) > 1L) factors[-1L], data = as.data.frame(env),
           transform = case$transform, permutations = as.numeric(case$permutations),
           distance = if (nzchar(case$distance)) case$distance else "euclidean",
           seed = if (nzchar(case$seed)) as.numeric(case$seed) else NULL, task = "anova",
           threads = threads)
}

# A stored number: "" is NA; the rest parse to the double they were written from.
stored_number <- function(x) ifelse(nzchar(x), suppressWarnings(as.numeric(x)), NA_real_)

# Every number of the table equal, bit for bit, to the engine's stored output.
expect_table_is_stored <- function(m, stored) {
  t <- m$table
  expect_identical(nrow(t), nrow(stored))
  expect_identical(as.integer(t$Df), as.integer(stored$df1))
  expect_identical(as.integer(t$Df.den), as.integer(ifelse(nzchar(stored$df2), stored$df2, NA)))
  expect_identical(t$SumOfSqs, stored_number(stored$SS))
  expect_identical(t$MeanSqs, stored_number(stored$MS))
  expect_identical(t$F, stored_number(stored$F))
  expect_identical(t$`Pr(>F)`, stored_number(stored$P))
  expect_identical(t$R2, stored_number(stored$R2))
  expect_identical(rownames(t), c(stored$factor[nzchar(stored$factor)], "Within", "Total"))
}
