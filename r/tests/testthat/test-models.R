# A model of terms against vegan: adonis2's sequential and marginal tables
# (Euclidean and Bray-Curtis) and rda's partial constrained variance, on the
# oribatid mite tables.

mite_tables <- function() {
  if (!requireNamespace("vegan", quietly = TRUE))
    stop("these tests need vegan's mite data: install vegan (Debian: r-cran-vegan)")
  e <- new.env()
  utils::data("mite", "mite.env", package = "vegan", envir = e)
  list(Y = e$mite, env = e$mite.env)
}

# The mite tables' Substrate has a level of one sample, which every analysis
# warns of.
fit <- function(...) suppressWarnings(morvenak(...))

# Our term rows against an adonis2 table: df, SS and F to 1e-10 relative.
expect_terms_are_adonis <- function(m, peer, terms) {
  ours <- m$table[terms, ]
  expect_identical(ours$Df, as.integer(peer[terms, "Df"]))
  expect_lt(relative_gap(ours$SumOfSqs, peer[terms, "SumOfSqs"]), 1e-10)
  expect_lt(relative_gap(ours$F, peer[terms, "F"]), 1e-10)
}

test_that("crossed, marginal, conditioned and Bray-Curtis models equal vegan's", {
  d <- mite_tables()
  Y <- vegan::decostand(d$Y, "hellinger")
  n <- nrow(Y)
  seq_model <- fit(Y ~ Topo * Substrate, data = d$env, permutations = 99, threads = 1)
  by_transform <- fit(d$Y ~ Topo * Substrate, data = d$env, transform = "hellinger", permutations = 99,
                           threads = 1)
  expect_lt(relative_gap(by_transform$table$SumOfSqs, seq_model$table$SumOfSqs), 1e-12)
  expect_identical(rownames(seq_model$table), c("Topo", "Substrate", "Topo:Substrate", "Residual", "Total"))
  expect_identical(seq_model$table$permuted[1:3], c("rows", "residuals of Topo", "residuals of Topo + Substrate"))
  peer <- vegan::adonis2(Y ~ Topo * Substrate, data = d$env, method = "euclidean", by = "terms",
                         permutations = 0)
  expect_terms_are_adonis(seq_model, peer, c("Topo", "Substrate", "Topo:Substrate"))

  marginal <- fit(Y ~ Topo + Substrate, data = d$env, ss = "marginal", permutations = 99, threads = 1)
  peer <- vegan::adonis2(Y ~ Topo + Substrate, data = d$env, method = "euclidean", by = "margin",
                         permutations = 9)
  expect_terms_are_adonis(marginal, peer, c("Topo", "Substrate"))

  conditioned <- fit(Y ~ Topo + Condition(WatrCont), data = d$env, covariates = ~ WatrCont,
                          permutations = 99, threads = 1)
  expect_true(conditioned$condition[["Condition(WatrCont)"]])
  partial <- vegan::rda(Y ~ Topo + Condition(WatrCont), data = d$env)
  expect_lt(relative_gap(conditioned$table["Topo", "SumOfSqs"], partial$CCA$tot.chi * (n - 1)), 1e-10)

  bray <- fit(d$Y ~ Topo * Substrate, data = d$env, distance = "bray", permutations = 99, threads = 1)
  peer <- vegan::adonis2(d$Y ~ Topo * Substrate, data = d$env, method = "bray", by = "terms", permutations = 0)
  expect_terms_are_adonis(bray, peer, c("Topo", "Substrate", "Topo:Substrate"))
})

test_that("strata keep the permutations within their levels, and a nested formula keeps its path", {
  d <- mite_tables()
  Y <- vegan::decostand(d$Y, "hellinger")
  # One stratum per object: no permutation moves anything, so every test's F* equals F.
  alone <- fit(Y ~ Topo * Substrate, data = d$env, strata = seq_len(nrow(Y)), permutations = 49,
                    threads = 1)
  expect_identical(alone$table$`Pr(>F)`[1:3], rep(1, 3))
  by_formula <- fit(Y ~ Topo * Substrate, data = d$env, strata = ~ Shrub, permutations = 49, threads = 1)
  by_column <- fit(Y ~ Topo * Substrate, data = d$env, strata = "Shrub", permutations = 49, threads = 1)
  expect_identical(by_formula$table, by_column$table)
  # Nested terms written with ':' are the nested design, as '/' writes it.
  nested <- fit(Y ~ Topo + Topo:Substrate, data = d$env, permutations = 49, threads = 1)
  expect_identical(nested$table, fit(Y ~ Topo / Substrate, data = d$env, permutations = 49,
                                          threads = 1)$table)
})
