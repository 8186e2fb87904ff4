# A dissimilarity against vegan: a Bray-Curtis table is adonis2's on vegdist's
# matrix, and that matrix given as a dist object (its labels matched to the
# rows of data by name) gives the table of distance = "bray" bit for bit.

test_that("Bray-Curtis SS and F equal adonis2's to 1e-10", {
  d <- dune_tables()
  Y <- d$Y
  env <- d$env
  one <- vegan::adonis2(vegan::vegdist(Y) ~ Management, env, permutations = 0)
  m <- morvenak(Y ~ Management, env, distance = "bray", permutations = 0)
  expect_lt(relative_gap(m$table$SumOfSqs, one$SumOfSqs), 1e-10)
  expect_lt(relative_gap(m$table$F[1], one$F[1]), 1e-10)
  # Nested: adonis2's sequential terms are the rows' SS; Use is tested over the residuals in both.
  nested <- vegan::adonis2(vegan::vegdist(Y) ~ Management / Use, env, permutations = 0)
  m <- morvenak(Y ~ Management / Use, env, distance = "bray", permutations = 0)
  expect_lt(relative_gap(m$table$SumOfSqs, nested$SumOfSqs), 1e-10)
  expect_lt(relative_gap(m$table$F[2], nested$F[2]), 1e-10)
})

test_that("a dist object gives the table of the same dissimilarity, bit for bit", {
  d <- dune_tables()
  Y <- d$Y
  backwards <- d$env[rev(seq_len(nrow(d$env))), ]
  for (design in c(Y ~ Management, Y ~ Management / Use)) {
    own <- morvenak(design, d$env, distance = "bray", permutations = 99, threads = 1)
    given_design <- design
    given_design[[2L]] <- quote(vegan::vegdist(Y))
    given <- morvenak(given_design, backwards, permutations = 99, threads = 1)
    expect_identical(given$table, own$table)
  }
  expect_identical(given$options[c("distance", "transform", "method")],
                   list(distance = "given", transform = "none", method = "bray"))
  expect_output(print(given), "Total sum of squares (from distances) = 4.299", fixed = TRUE)
  renamed <- d$env
  rownames(renamed)[5] <- "five"
  expect_error(morvenak(vegan::vegdist(Y) ~ Management, renamed),
               "the distances' label '5' names no row of 'data': the labels are matched to the row names of 'data'",
               fixed = TRUE, class = "morvenak_invalid_input")
  expect_error(morvenak(Y ~ Management, d$env, distance = "bray", task = "scores"),
               "the ordinations of a dissimilarity (principal coordinates) are not available yet: give the anova task",
               fixed = TRUE, class = "morvenak_invalid_input")
})
