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
})

# B random within A fixed, unbalanced: by the method of moments, B's mean
# square has E = sigma2 + cBB sigma2(B), A's sigma2 + cAB sigma2(B) + cA theta(A),
# so A is tested over w MS(B) + (1 - w) MS(Residual), w = cAB / cBB, with
# Satterthwaite's degrees of freedom. Every number from the cell sizes and
# lm()'s sums of squares (summed over the two species).
moment_coefficients <- function(top, nested) {
  n <- length(top)
  n_i <- table(top)
  n_ij <- table(paste(top, nested))
  within <- sum(tapply(n_ij, sub(" .*", "", names(n_ij)), function(x) sum(x^2)) / n_i)
  df_top <- length(n_i) - 1
  df_nested <- length(n_ij) - length(n_i)
  list(top = (within - sum(n_ij^2) / n) / df_top, nested = (n - within) / df_nested,
       theta = (n - sum(n_i^2) / n) / df_top)
}

test_that("an unbalanced design takes the unrestricted EMS and a combined denominator, as computed by hand", {
  sizes <- list(c(6, 4, 5), c(2, 3, 4), c(2, 2))
  d <- data.frame(A = rep(paste0("a", 1:3), vapply(sizes, sum, 0)),
                  B = unlist(lapply(1:3, function(a) rep(paste0("b", a, seq_along(sizes[[a]])), sizes[[a]]))))
  set.seed(5)
  Y <- cbind(sp1 = rnorm(nrow(d), 10), sp2 = rnorm(nrow(d), 5))
  m <- suppressWarnings(morvenak(Y ~ A / B, data = d, random = ~ B, permutations = 99, task = "anova",
                                 threads = 1))
  anovas <- lapply(1:2, function(j) anova(lm(Y[, j] ~ A / B, d)))
  ms <- unname(Reduce(`+`, lapply(anovas, `[[`, "Sum Sq")) / anovas[[1]]$Df)
  df <- anovas[[1]]$Df
  c <- moment_coefficients(d$A, d$B)
  w <- c(c$top / c$nested, 1 - c$top / c$nested)
  den <- sum(w * ms[2:3])
  hand <- list(F = ms[1] / den, Df.den = den^2 / sum((w * ms[2:3])^2 / df[2:3]),
               ems = c(sigma2 = 1, "sigma2(B within A)" = c$top, "theta(A)" = c$theta),
               ems_b = c(sigma2 = 1, "sigma2(B within A)" = c$nested), B = (ms[2] - ms[3]) / c$nested)
  t <- m$table
  expect_equal(c(t["A", "F"], t["A", "Df.den"], t["A:B", "Component"]), c(hand$F, hand$Df.den, hand$B),
               tolerance = 1e-10)
  expect_equal(m$ems[c("A", "A:B")], list(A = hand$ems, "A:B" = hand$ems_b), tolerance = 1e-10)
  expect_equal(m$denominators$A, c("MS(B within A)" = w[1], "MS(Residual)" = w[2]), tolerance = 1e-12)
  expect_identical(t["A", "Denominator"], sprintf("%.4g MS(B within A) + %.4g MS(Residual)", w[1], w[2]))
  expect_false(m$options$restricted || m$options$balanced)
  expect_output(print(m), "unrestricted (the design is unbalanced) expected mean squares", fixed = TRUE)
  expect_error(morvenak(Y ~ A / B, data = d, random = ~ B, restricted = TRUE, permutations = 9, task = "anova"),
               "not balanced", class = "morvenak_stopped")

  # dune's Management / Use with the EMS' denominators: Use random, and
  # Management over 1.73 MS(Use) - 0.73 MS(Residual), a negative weight: no F.
  dune <- dune_tables()
  e <- suppressWarnings(morvenak(dune$Y ~ Management / Use, data = dune$env, denominator = "ems",
                                 permutations = 9, task = "anova", threads = 1))
  c <- moment_coefficients(as.character(dune$env$Management), as.character(dune$env$Use))
  expect_equal(e$denominators$Management,
               c("MS(Use within Management)" = c$top / c$nested, "MS(Residual)" = 1 - c$top / c$nested),
               tolerance = 1e-12)
  expect_true(is.na(e$table["Management", "F"]) && grepl("negative weight", e$notes[["Management"]]))
  expect_identical(e$options$random, "Use")
})
