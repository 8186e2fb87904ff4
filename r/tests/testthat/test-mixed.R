# A mixed design against base R: B random within A fixed, balanced. A is
# tested against B's mean square as aov() with Error(B) tests it, and B's
# component of variation is (MS_B - MS_W) / 3, from 3 samples per level of B.

mixed_data <- function() {
  set.seed(11)
  d <- data.frame(A = factor(rep(c("a1", "a2", "a3"), each = 12)),
                  B = factor(paste0("b", rep(1:12, each = 3))))
  d$y <- 3 * rnorm(3)[as.integer(d$A)] + rnorm(12)[as.integer(d$B)] + rnorm(36)
  d
}

test_that("a random factor within a fixed one is tested as aov's Error() strata test it", {
  d <- mixed_data()
  m <- morvenak(cbind(y = d$y) ~ A / B, data = d, random = ~ B, permutations = 99, task = "anova", threads = 1)
  t <- m$table
  peer <- summary(aov(y ~ A + Error(B), d))[["Error: B"]][[1]][["F value"]][1]
  expect_lt(abs(t["A", "F"] - peer) / peer, 1e-10)
  expect_identical(t$Random, c(FALSE, TRUE, FALSE, FALSE))
  expect_identical(t["A", "Units"], "whole levels of B within A")
  ms_b <- t["A:B", "MeanSqs"]
  ms_w <- t["Residual", "MeanSqs"]
  expect_lt(abs(t["A:B", "Component"] - (ms_b - ms_w) / 3) / ((ms_b - ms_w) / 3), 1e-10)
  expect_equal(t["A:B", "SqrtComponent"], sqrt(t["A:B", "Component"]))
  expect_true(m$options$restricted)
  # Nested alone, the unrestricted expected mean squares test A alike.
  loose <- morvenak(cbind(y = d$y) ~ A / B, data = d, random = ~ B, unrestricted = TRUE, permutations = 0,
                    task = "anova")
  expect_false(loose$options$restricted)
  expect_lt(abs(loose$table["A", "F"] - peer) / peer, 1e-10)

  # B kept fixed: A goes back to the residual's mean square, as in a fixed model.
  kept <- morvenak(cbind(y = d$y) ~ A / B, data = d, random = "B", fixed = ~ A:B, permutations = 0,
                   task = "anova")
  fixed_f <- summary(aov(y ~ A / B, d))[[1]][["F value"]][1]
  expect_lt(abs(kept$table["A", "F"] - fixed_f) / fixed_f, 1e-10)

  expect_error(morvenak(cbind(y = d$y[-1]) ~ A / B, data = d[-1, ], random = ~ B, permutations = 9,
                        task = "anova"), "not balanced")
})
