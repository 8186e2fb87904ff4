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

# The site scores ("wa"), fitted scores ("lc") and species scores of either
# scaling are vegan's times a constant of the scaling (docs/user-guide.md):
# r = SSY^(1/4) in scaling 1, sqrt(n - 1) / SSY^(1/4) in scaling 2, the
# species' 1 / r; each axis with one sign for the three.
test_that("the scores of scaling 1 and 2 are vegan's rda scores times the scaling's constant to 1e-10", {
  d <- dune_tables()
  n <- nrow(d$Y)
  fit <- vegan::rda(vegan::decostand(d$Y, "hellinger") ~ Management, data = d$env)
  k <- 1:3
  for (s in 1:2) {
    m <- morvenak(d$Y, "Management", data = d$env, transform = "hellinger", permutations = 0, task = "scores",
                  scaling = s)
    o <- m$ordinations$Management
    expect_identical(o$scaling, s)
    r <- if (s == 1) m$ssy^0.25 else sqrt(n - 1) / m$ssy^0.25
    peer <- function(display) unname(vegan::scores(fit, display = display, scaling = s, choices = k))
    sign <- sign(colSums(o$site_scores[, k] * peer("wa")))
    gap <- function(ours, theirs, ratio) {
      want <- sweep(theirs, 2L, sign * ratio, "*")
      max(abs(unname(ours[, k]) - want)) / max(abs(want))
    }
    expect_lt(gap(o$site_scores, peer("wa"), r), 1e-10)
    expect_lt(gap(o$sites, peer("lc"), r), 1e-10)
    expect_lt(gap(o$species, peer("species"), 1 / r), 1e-10)
    expect_identical(scores(m, display = "wa", choices = k), o$site_scores[, k])
  }
  expect_error(scores(m, display = "wa", ordination = "Within"), "has no site scores")
})
