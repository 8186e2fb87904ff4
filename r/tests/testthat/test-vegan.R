# A peer check: for one factor, the analysis is vegan's rda with anova.cca.
# vegan reports Variance = SS / (n - 1) and constrained eigenvalues
# lambda / (n - 1), as the package does.

test_that("one-factor SS, F and eigenvalues equal vegan's rda and anova to 1e-9", {
  d <- dune_tables()
  n <- nrow(d$Y)
  for (transform in c("none", "hellinger")) {
    Y <- if (transform == "none") d$Y else vegan::decostand(d$Y, "hellinger")
    fit <- vegan::rda(Y ~ Management, data = d$env)
    peer <- vegan::anova.cca(fit, permutations = 99)
    m <- morvenak(d$Y, "Management", data = d$env, transform = transform, permutations = 99, threads = 1)
    expect_lt(relative_gap(m$table$SumOfSqs[1:2], peer$Variance * (n - 1)), 1e-9)
    expect_lt(relative_gap(m$table$F[1], peer$F[1]), 1e-9)
    expect_identical(m$table$Df[1:2], as.integer(peer$Df))
    expect_lt(relative_gap(m$ssy, fit$tot.chi * (n - 1)), 1e-9)
    constrained <- unname(vegan::eigenvals(fit, model = "constrained"))
    ours <- unname(m$ordinations$Management$eigenvalues)
    expect_identical(length(ours), length(constrained))
    expect_lt(relative_gap(ours, constrained), 1e-9)
  }
})
