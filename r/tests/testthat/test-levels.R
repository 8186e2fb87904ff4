# Levels numbered in the order of a factor's levels(), or of first appearance
# for labels given as text, and nested labels read within their parent.

test_that("a factor's levels() order its levels; text comes in order of first appearance", {
  d <- dune_tables()
  labels <- as.character(d$env$Management)
  first <- morvenak(d$Y, labels, permutations = 99, threads = 1)
  expect_identical(first$levels[[1]]$level, c("SF", "BF", "HF", "NM"))
  expect_identical(first$levels[[1]]$count, c(6L, 3L, 5L, 6L))
  # A level no sample has is passed over.
  ordered <- morvenak(d$Y, factor(labels, levels = c("NM", "unused", "HF", "BF", "SF")), permutations = 99,
                      threads = 1)
  expect_identical(ordered$levels[[1]]$level, c("NM", "HF", "BF", "SF"))
  expect_identical(ordered$levels[[1]]$count, c(6L, 5L, 3L, 6L))
  # Other dummy variables of the same space: the same P, F equal to rounding.
  expect_identical(ordered$table$`Pr(>F)`, first$table$`Pr(>F)`)
  expect_equal(ordered$table$F, first$table$F, tolerance = 1e-12)
})

test_that("labels reused under two parents are two subgroups", {
  reused <- morvenak(meadows ~ farm / field, data = meadows.env, permutations = 99, threads = 1)
  unique_names <- morvenak(meadows, meadows.env$farm, nested = list(field = paste(meadows.env$farm, meadows.env$field)),
                           permutations = 99, threads = 1)
  expect_identical(unname(as.matrix(reused$table)), unname(as.matrix(unique_names$table)))
  expect_identical(reused$levels$field$level, rep(c("field 1", "field 2"), 3))
  expect_identical(reused$levels$field$parent, rep(c("South", "North", "East"), each = 2))
  expect_identical(reused$table["field", "Df"], 3L)
})

test_that("the default method takes columns by name, vectors, and a list of two nested factors", {
  env <- meadows.env
  env$pair <- rep(c("pair 1", "pair 1", "pair 2", "pair 2"), 6)
  by_name <- morvenak(meadows, "farm", nested = c("field", "pair"), data = env, permutations = 99, threads = 1)
  by_value <- morvenak(meadows, env$farm, nested = list(field = env$field, pair = env$pair), permutations = 99,
                       threads = 1)
  by_formula <- morvenak(Y ~ farm / field / pair, data = c(list(Y = meadows), env), permutations = 99,
                         threads = 1)
  expect_identical(rownames(by_name$table), c("farm", "field", "pair", "Within", "Total"))
  expect_identical(by_name$table$Df, c(2L, 3L, 6L, 12L, 23L))
  expect_identical(unname(as.matrix(by_value$table)), unname(as.matrix(by_name$table)))
  expect_identical(by_formula$table, by_name$table)
})
