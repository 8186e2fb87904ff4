# Input that does not make an analysis: R conditions of class
# morvenak_invalid_input (status 2) or morvenak_stopped (status 1), with the
# engine's message where the engine is the one to find the fault.

expect_morvenak_error <- function(expr, class, message) {
  e <- tryCatch(expr, morvenak_error = function(e) e)
  expect_s3_class(e, c(class, "morvenak_error", "error", "condition"), exact = TRUE)
  expect_identical(conditionMessage(e), message)
  invisible(e)
}

test_that("a non-numeric Y is refused, by column", {
  d <- dune_tables()
  Y <- d$Y
  Y$Achimill <- as.character(Y$Achimill)
  expect_morvenak_error(morvenak(Y, "Management", data = d$env), "morvenak_invalid_input",
                        "Y must be numeric: its column 'Achimill' holds character values")
  expect_morvenak_error(morvenak(matrix(letters[1:20], 10), rep(1:2, 5)), "morvenak_invalid_input",
                        "Y must be a numeric matrix or data frame, not a character matrix")
})

test_that("a missing or infinite value in Y stops with the engine's message", {
  d <- dune_tables()
  Y <- d$Y
  Y[3, 4] <- NA
  e <- expect_morvenak_error(morvenak(Y, "Management", data = d$env), "morvenak_invalid_input",
                             "Y holds a value that is not a finite number (object 3, species 4)")
  expect_identical(e$status, 2L)
  Y[3, 4] <- Inf
  expect_morvenak_error(morvenak(Y, "Management", data = d$env), "morvenak_invalid_input",
                        "Y holds a value that is not a finite number (object 3, species 4)")
})

test_that("factors of another length than Y, or with NA, are refused", {
  d <- dune_tables()
  management <- as.character(d$env$Management)
  expect_morvenak_error(morvenak(d$Y, management[-1]), "morvenak_invalid_input",
                        "factor 'management[-1]' has 19 labels for 20 objects")
  expect_morvenak_error(morvenak(d$Y, management, nested = list(Use = d$env$Use[1:10])), "morvenak_invalid_input",
                        "factor 'Use' has 10 labels for 20 objects")
  expect_morvenak_error(morvenak(d$Y, "Management", data = d$env[1:19, ]), "morvenak_invalid_input",
                        "'data' has 19 rows for 20 objects (rows of Y)")
  management[7] <- NA
  expect_morvenak_error(morvenak(d$Y, management), "morvenak_invalid_input",
                        "factor 'management' has no label (NA) for object 7")
})

test_that("a nested factor that divides none of its parent's levels is not nested", {
  d <- dune_tables()
  expect_morvenak_error(morvenak(d$Y, "Management", nested = list(Again = d$env$Management), data = d$env),
                        "morvenak_invalid_input",
                        "factor 'Again' is not nested in 'Management': it has a single level within each level of 'Management', so it divides none of them into subgroups")
  # Coarser than its parent: one level within each cell.
  cells <- paste(d$env$Management, d$env$Use)
  expect_morvenak_error(morvenak(d$Y, cells, nested = list(Management = d$env$Management)),
                        "morvenak_invalid_input",
                        "factor 'Management' is not nested in 'cells': it has a single level within each level of 'cells', so it divides none of them into subgroups")
  expect_morvenak_error(morvenak(d$Y, rep("all", 20)), "morvenak_invalid_input",
                        "factor 'rep(\"all\", 20)' has a single level ('all'): the main factor needs at least 2")
})

test_that("an analysis the engine cannot do stops with its message, status 1", {
  d <- dune_tables()
  Y <- d$Y
  Y[, 1] <- 0
  e <- expect_morvenak_error(morvenak(Y, "Management", data = d$env, transform = "chi2-metric"),
                             "morvenak_stopped",
                             "Column sums of 0 are incompatible with this transformation: species 1 sums to 0")
  expect_identical(e$status, 1L)
  expect_identical(e$reason, "zero_column_sums")
  expect_identical(e$reasons, "species 1 sums to 0")
})

test_that("problems the transformation meets become warnings", {
  d <- dune_tables()
  Y <- d$Y
  Y[3, ] <- 0
  expect_warning(morvenak(Y, "Management", data = d$env, transform = "hellinger", permutations = 0),
                 "object 3 has no species: its row is left as it was", fixed = TRUE)
  Y <- d$Y
  Y[2, 5] <- -1
  expect_warning(morvenak(Y, "Management", data = d$env, transform = "chord", permutations = 0),
                 "Y holds a negative value (object 2, species 5)", fixed = TRUE)
  # Before a stop too: the warning comes, then the error.
  Y[, 1] <- 0
  expect_warning(expect_morvenak_error(morvenak(Y, "Management", data = d$env, transform = "chi2-metric"),
                                       "morvenak_stopped",
                                       "Column sums of 0 are incompatible with this transformation: species 1 sums to 0"),
                 "Y holds a negative value (object 2, species 5)", fixed = TRUE)
})

test_that("options out of range and formulas that make no design are refused", {
  d <- dune_tables()
  expect_morvenak_error(morvenak(d$Y, "Management", data = d$env, seed = 2^32), "morvenak_invalid_input",
                        "'seed' must be a whole number from 0 to 4294967295")
  expect_morvenak_error(morvenak(d$Y, "Management", data = d$env, seed = 1.5), "morvenak_invalid_input",
                        "'seed' must be a whole number from 0 to 4294967295")
  expect_morvenak_error(morvenak(d$Y, "Management", data = d$env, permutations = -1), "morvenak_invalid_input",
                        "'permutations' must be a whole number from 0 to 2147483647")
  expect_morvenak_error(morvenak(d$Y, "Management", data = d$env, threads = 0), "morvenak_invalid_input",
                        "'threads' must be a whole number from 1 to 1024")
  expect_morvenak_error(morvenak(d$Y, "Moisture", data = d$env[, -2]), "morvenak_invalid_input",
                        "'data' has no column 'Moisture' (for the main factor)")
  Y <- d$Y
  env <- d$env
  expect_morvenak_error(morvenak(Y ~ Management + Use, data = env, covariates = "A1"), "morvenak_invalid_input",
                        "covariate 'A1': the model 'Management + Use' has no variable A1")
  expect_morvenak_error(morvenak(Y ~ A1 / Moisture / Management / Use, data = env), "morvenak_invalid_input",
                        "the formula has 4 factors; at most 3: a main factor and two nested in it")
  expect_error(morvenak(d$Y, "Management", data = d$env, transform = "log"), "'arg' should be one of")
})

test_that("a formula without a main factor, or naming a column that is nowhere, is refused", {
  d <- dune_tables()
  Y <- d$Y
  env <- d$env
  expect_morvenak_error(morvenak(Y ~ 1, data = env), "morvenak_invalid_input",
                        "the formula needs a main factor on its right side, not '1': Y ~ Main / Nested")
  expect_morvenak_error(morvenak(Y ~ Management / 1, data = env), "morvenak_invalid_input",
                        "the formula's right side 'Management/1' holds '1', which is not a factor: write a main factor and the factors nested in it, joined by '/' (Main / Nested)")
  expect_morvenak_error(morvenak(Y ~ Management / Plot, data = env), "morvenak_invalid_input",
                        "'data' has no column 'Plot' (for the nested factor)")
  expect_morvenak_error(morvenak(Dune ~ Management, data = env), "morvenak_invalid_input",
                        "'data' has no column 'Dune' (for the response Y)")
  expect_morvenak_error(morvenak(Y ~ Plot), "morvenak_invalid_input",
                        "'Plot' is not found (for the main factor): no 'data' was given, and no variable has that name where the formula was written")
})
