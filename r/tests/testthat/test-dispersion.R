# The test of dispersion against its peers: vegan's betadisper about the
# centroids for the distances and F, R's Welch t.test for each pair and
# p.adjust for their adjusted P; the permutation P the same from run to run.

test_that("the dispersion of Management is betadisper's, each pair's t Welch's", {
  d <- dune_tables()
  run <- function(threads)
    morvenak(d$Y ~ Management, data = d$env, distance = "bray", dispersion = "Management", p_adjust = "fdr",
             permutations = 199, threads = threads)
  m <- run(1L)
  x <- m$dispersion
  peer <- vegan::betadisper(vegan::vegdist(d$Y), d$env$Management, type = "centroid")
  expect_lt(relative_gap(x$distances, peer$distances), 1e-10)
  expect_identical(names(x$distances), rownames(d$Y))
  expect_lt(relative_gap(x$F, stats::anova(peer)$`F value`[1L]), 1e-10)
  expect_identical(x$levels$Level, levels(d$env$Management))
  g <- d$env$Management
  welch <- lapply(seq_len(nrow(x$pairs)), function(k)
    stats::t.test(peer$distances[g == x$pairs$LevelA[k]], peer$distances[g == x$pairs$LevelB[k]]))
  expect_identical(nrow(x$pairs), 6L)
  expect_lt(relative_gap(x$pairs$t, vapply(welch, function(w) unname(w$statistic), 0)), 1e-10)
  expect_lt(relative_gap(x$pairs$Df, vapply(welch, function(w) unname(w$parameter), 0)), 1e-10)
  expect_equal(x$pairs$PAdjusted, stats::p.adjust(x$pairs$P, "fdr"), tolerance = 1e-12)
  again <- run(2L)$dispersion
  expect_identical(again$P, x$P)
  expect_identical(again$pairs$P, x$pairs$P)
  expect_true(x$P > 0 && x$P < 1)
})
