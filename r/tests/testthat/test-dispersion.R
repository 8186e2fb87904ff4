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

test_that("a nested design's dispersion: Use within Management by its subgroups, Management by theirs", {
  d <- dune_tables()
  # dune's Use has subgroups of one sample (warned of): their distances are 0.
  nested <- function(...) suppressWarnings(morvenak(d$Y ~ Management / Use, data = d$env, threads = 1L, ...))
  x <- nested(dispersion = "Use", permutations = 99)$dispersion
  cell <- interaction(d$env$Management, d$env$Use, drop = TRUE)
  peer <- vegan::betadisper(stats::dist(d$Y), cell, type = "centroid")
  expect_lt(max(abs(x$distances - peer$distances)), 1e-10 * max(peer$distances))
  fit <- stats::anova(stats::lm(peer$distances ~ d$env$Management / d$env$Use))
  expect_lt(relative_gap(x$F, fit$`F value`[2L]), 1e-10)
  expect_identical(x$within, "Management")
  expect_true(all(x$pairs$Within %in% x$levels$Within))
  # The main factor's subgroups' centroids around its levels' centroids, from the table.
  u <- nested(dispersion = "Management", permutations = 99)$dispersion$units
  Y <- as.matrix(d$Y)
  cells <- apply(Y, 2, function(v) tapply(v, cell, mean))
  mains <- apply(Y, 2, function(v) tapply(v, d$env$Management, mean))
  main_of <- sub("\\..*", "", rownames(cells))
  z <- setNames(sqrt(rowSums((cells - mains[main_of, ])^2)), sub("\\.", ": ", rownames(cells)))
  expect_lt(relative_gap(u$distances[names(z)], z), 1e-10)
  expect_identical(u$units, "Use")
  # print: a line for the samples around the levels' centres, one for the subgroups' test.
  shown <- capture.output(print(nested(dispersion = "Management", dispersion_centre = "median", permutations = 9)))
  expect_identical(sub(":.*", "", grep("^Dispersion", shown, value = TRUE)),
                   c("Dispersion of Management around its levels' spatial medians",
                     "Dispersion of Management's subgroups of Use around its levels' spatial medians"))
})
