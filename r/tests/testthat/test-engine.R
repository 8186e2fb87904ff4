# The package against the engine's own output, stored from the built C++
# library (tests/r/stored_results_check.py keeps the files current), and
# against the classic program's reports of the same designs.

test_that("df, SS, MS, F, P and R2 are the engine's, bit for bit", {
  cases <- stored_cases()
  for (k in seq_len(nrow(cases))) {
    stored <- read_stored(paste0(cases$case[k], ".tsv"))
    m <- run_case(cases[k, ])
    expect_table_is_stored(m, stored)
    expect_identical(m$ssy, stored_number(stored$SS[stored$source == "total"]))
  }
})

test_that("the table shows the classic report's numbers to its digits", {
  cases <- stored_cases()
  cases <- cases[nzchar(cases$report), ]
  expect_gte(nrow(cases), 2L)
  for (k in seq_len(nrow(cases))) {
    report <- read_stored(paste0(cases$case[k], ".report.tsv"))
    t <- run_case(cases[k, ])$table
    printed <- function(v) ifelse(is.na(v), "", sprintf("%.5f", v))
    expect_identical(as.character(t$Df), report$df1)
    expect_identical(ifelse(is.na(t$Df.den), "", as.character(t$Df.den)), report$df2)
    expect_identical(printed(t$SumOfSqs), report$SS)
    expect_identical(printed(t$MeanSqs), report$MS)
    expect_identical(printed(t$F), report$F)
    expect_identical(printed(t$`Pr(>F)`), report$P)
  }
})

test_that("the results do not depend on the number of threads", {
  case <- stored_cases()[1L, ]
  expect_identical(run_case(case, threads = 1L)$table, run_case(case, threads = 2L)$table)
})

test_that("a seed other than 1 gives other P values, the same SS", {
  case <- stored_cases()[1L, ]
  classic <- run_case(case)
  case$seed <- "1"
  expect_identical(run_case(case)$table, classic$table)  # NULL is seed 1
  case$seed <- "4294967295"
  seeded <- run_case(case)
  expect_identical(seeded$table$SumOfSqs, classic$table$SumOfSqs)
  expect_false(identical(seeded$table$`Pr(>F)`, classic$table$`Pr(>F)`))
  expect_identical(seeded$options$seed, 4294967295)
})
