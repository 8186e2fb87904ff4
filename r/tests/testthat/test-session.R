# The session after analyses, errors, an interrupt and a time limit.

test_that("two calls in a row, and a call after an error, give the same results", {
  d <- dune_tables()
  first <- morvenak(d$Y ~ Management / Use, data = d$env, permutations = 99, threads = 1)
  expect_error(morvenak(d$Y, rep("all", 20)), class = "morvenak_invalid_input")
  second <- morvenak(d$Y ~ Management / Use, data = d$env, permutations = 99, threads = 1)
  expect_identical(second$table, first$table)
  expect_identical(second$ordinations, first$ordinations)
})

test_that("an interrupt during a long test cancels the engine and leaves the session usable", {
  d <- dune_tables()
  before <- morvenak(d$Y, "Management", data = d$env, permutations = 99, task = "anova")
  # A SIGINT two seconds into a test of 5e8 permutations (minutes): R's thread
  # sees it within 100 ms and cancels the engine.
  system(sprintf("(sleep 2; kill -INT %d) >/dev/null 2>&1", Sys.getpid()), wait = FALSE)
  started <- Sys.time()
  caught <- tryCatch(morvenak(d$Y, "Management", data = d$env, permutations = 5e8, task = "anova"),
                     interrupt = function(e) e)
  elapsed <- as.numeric(difftime(Sys.time(), started, units = "secs"))
  expect_s3_class(caught, "morvenak_interrupt")
  expect_identical(conditionMessage(caught), "the analysis was interrupted")
  expect_lt(elapsed, 60)
  after <- morvenak(d$Y, "Management", data = d$env, permutations = 99, task = "anova")
  expect_identical(after$table, before$table)
})

test_that("a time limit ends a long test with R's own error, and the session goes on", {
  d <- dune_tables()
  before <- morvenak(d$Y, "Management", data = d$env, permutations = 99, task = "anova")
  # 5e8 permutations take minutes: the limit is reached while the engine runs,
  # when R's thread checks R's events.
  setTimeLimit(elapsed = 1, transient = TRUE)
  started <- Sys.time()
  caught <- tryCatch(morvenak(d$Y, "Management", data = d$env, permutations = 5e8, task = "anova"),
                     error = function(e) e, interrupt = function(e) e)
  setTimeLimit()
  elapsed <- as.numeric(difftime(Sys.time(), started, units = "secs"))
  expect_s3_class(caught, c("simpleError", "error", "condition"), exact = TRUE)
  expect_match(conditionMessage(caught), "elapsed time limit", fixed = TRUE)
  expect_identical(conditionCall(caught)[[1L]], as.name("morvenak"))
  expect_lt(elapsed, 60)
  after <- morvenak(d$Y, "Management", data = d$env, permutations = 99, task = "anova")
  expect_identical(after$table, before$table)
})
