# The main factor tested with the subgroups of the nested factor as units.

subgroup_design <- function() {
  set.seed(3)
  site <- rep(c("A", "B"), each = 6)
  plot <- rep(rep(c("p1", "p2", "p3"), each = 2), 2)  # the same names under both sites
  Y <- matrix(rpois(12 * 5, 3), 12, 5, dimnames = list(paste0("s", 1:12), paste0("sp", 1:5)))
  list(Y = Y, site = site, plot = plot)
}

test_that("subgroups as units enumerate the ten arrangements of an exact test", {
  d <- subgroup_design()
  expect_warning(
    units <- morvenak(d$Y, d$site, nested = d$plot, permutations = 99, task = "anova",
                      main_units = "subgroups"),
    "the main factor has 6 subgroups; permuting them as units, the smallest reachable P is 1/10 = 0.1",
    fixed = TRUE)
  expect_equal(units$options$arrangements, 10)
  expect_true(units$options$exact_test)
  p_main <- units$table[1L, "Pr(>F)"]
  expect_equal(p_main * 10, round(p_main * 10))  # a share of the ten arrangements
  suppressWarnings(free <- morvenak(d$Y, d$site, nested = d$plot, permutations = 99, task = "anova"))
  expect_identical(units$table[2L, ], free$table[2L, ])      # the nested row does not change
  expect_identical(units$table[1L, "F"], free$table[1L, "F"])  # nor the main F
  expect_match(paste(capture.output(print(units)), collapse = "\n"), "all 10 distinct arrangements, an exact test")
})

test_that("exact applies to subgroups only, and subgroups need a nested factor", {
  d <- subgroup_design()
  expect_error(morvenak(d$Y, d$site, nested = d$plot, exact = TRUE), "'exact' applies to main_units")
  expect_error(morvenak(d$Y, d$site, main_units = "subgroups"), "needs a nested factor")
})
