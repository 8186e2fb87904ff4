# The pairwise tests of Management's levels against vegan's adonis2 on the
# samples of each pair, and their adjusted P against p.adjust.

test_that("each pair of Management's levels has adonis2's F on its samples, t^2 = F, Holm's P", {
  d <- dune_tables()
  m <- morvenak(d$Y ~ Management, data = d$env, distance = "bray", pairwise = "Management",
                permutations = 99, threads = 1)
  x <- m$pairwise$Management
  expect_identical(nrow(x), 6L)
  peer <- vapply(seq_len(nrow(x)), function(k) {
    keep <- d$env$Management %in% c(x$LevelA[k], x$LevelB[k])
    env <- droplevels(d$env[keep, ])
    vegan::adonis2(vegan::vegdist(d$Y[keep, ], "bray") ~ Management, data = env, permutations = 0)$F[1L]
  }, 0)
  expect_lt(relative_gap(x$F, peer), 1e-10)
  expect_lt(relative_gap(x$t^2, x$F), 1e-10)
  expect_false(anyNA(x$P))
  expect_equal(x$PAdjusted, stats::p.adjust(x$P, "holm"), tolerance = 1e-12)
  expect_output(print(m), sprintf("Pairs of Management: 6 pairs, 6 tested, %d with adjusted P <= 0.05",
                                  sum(x$PAdjusted <= 0.05)), fixed = TRUE)
})

test_that("the average distances within and between Management's levels are vegdist's", {
  d <- dune_tables()
  m <- morvenak(d$Y ~ Management, data = d$env, distance = "bray", pairwise = "Management", permutations = 9,
                threads = 1L)
  x <- m$pairwise_distances$Management
  bray <- as.matrix(vegan::vegdist(d$Y))
  g <- d$env$Management
  peer <- mapply(function(a, b) {
    block <- bray[g == a, g == b, drop = FALSE]
    if (a == b) mean(block[upper.tri(block)]) else mean(block)
  }, x$LevelA, x$LevelB)
  expect_identical(nrow(x), 10L)
  expect_lt(relative_gap(x$MeanDistance, unname(peer)), 1e-12)
})
