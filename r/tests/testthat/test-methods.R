# What the methods show: the table with R's stars, the permutation line, the
# scores named after Y, the results.tsv layout (the figures: test-figure.R).

nested_meadows <- function(...) morvenak(meadows ~ farm / field, data = meadows.env, threads = 1, ...)

test_that("print shows an anova table with stars and the permutations and seed", {
  m <- nested_meadows(permutations = 99)
  out <- capture.output(print(m))
  expect_identical(out[1], "Nested multivariate analysis of variance by redundancy analysis")
  expect_true("Factors: farm (3 levels), nested: field (6 subgroups)" %in% out)
  expect_match(out[grep("^farm ", out)], "0\\.04 \\*\\s*$")
  expect_match(out[grep("^field ", out)], "0\\.01 \\*\\*\\s*$")
  expect_true(any(startsWith(out, "Signif. codes:")))
  expect_true(any(startsWith(out, "Permutations: 99 (seed 1, the classic program's sequence)")))
  seeded <- capture.output(print(nested_meadows(permutations = 99, seed = 5)))
  expect_true(any(startsWith(seeded, "Permutations: 99 (seed 5);")))
  untested <- capture.output(print(nested_meadows(task = "scores")))
  expect_true("No test: the task computes the ordinations only." %in% untested)
})

test_that("the table has the stated columns, rows and empty cells", {
  m <- nested_meadows(permutations = 99)
  expect_identical(names(m$table), c("Df", "Df.den", "SumOfSqs", "MeanSqs", "F", "Pr(>F)", "R2"))
  expect_identical(rownames(m$table), c("farm", "field", "Within", "Total"))
  expect_identical(is.na(as.matrix(m$table)),
                   matrix(c(FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                            FALSE, FALSE, FALSE, FALSE, FALSE, FALSE, FALSE,
                            FALSE, TRUE, FALSE, FALSE, TRUE, TRUE, FALSE,
                            FALSE, TRUE, FALSE, TRUE, TRUE, TRUE, FALSE), 4, byrow = TRUE,
                          dimnames = dimnames(as.matrix(m$table))))
  expect_equal(sum(m$table$SumOfSqs[1:3]), m$ssy, tolerance = 1e-12)
  df <- as.data.frame(m)
  expect_identical(df$source, c("main", "nested1", "within", "total"))
  expect_identical(df$factor, c("farm", "field", "", ""))
  expect_identical(df$permutations, c(99L, 99L, 0L, 0L))
  notes <- as.data.frame(nested_meadows(permutations = 0))$note
  expect_identical(notes, c("not tested: no permutations were asked", "not tested: no permutations were asked", "", ""))
})

test_that("scores are named after Y and follow display, choices and ordination", {
  m <- nested_meadows(permutations = 0)
  expect_identical(names(m$ordinations), c("farm", "field", "Within"))
  both <- scores(m)
  expect_identical(names(both), c("sites", "species"))
  expect_identical(dimnames(both$sites), list(rownames(meadows), c("Axis1", "Axis2")))
  expect_identical(rownames(both$species), colnames(meadows))
  s <- scores(m, display = "species", choices = 1, ordination = "Within")
  expect_identical(s, m$ordinations$Within$species[, 1, drop = FALSE])
  # The main factor has 2 degrees of freedom: axes beyond are left out.
  expect_identical(ncol(scores(m, display = "sites", choices = 1:5)), 2L)
  # Site scores are the fitted values times the unit eigenvectors.
  u <- m$ordinations$farm$species
  expect_equal(crossprod(u), diag(ncol(u)), ignore_attr = TRUE, tolerance = 1e-12)
  expect_error(scores(m, ordination = "nowhere"), "no ordination 'nowhere': there are 'farm', 'field', 'Within'")
  expect_identical(vegan::scores(m, display = "sites"), scores(m, display = "sites"))
})

test_that("summary lists levels in their order and the axes", {
  out <- capture.output(summary(nested_meadows(permutations = 0)))
  expect_true("  farm: South (8), North (8), East (8)" %in% out)
  expect_true(any(startsWith(out, "  field: South/field 1 (4), South/field 2 (4), North/field 1 (4)")))
  expect_true(any(startsWith(out, "Object scores fitted to the main factor (farm):")))
})

test_that("as.data.frame gives each ordination's scores, the species and the levels from the object's fields", {
  # A second nested factor whose labels recur in every field, in counts that differ from field to field.
  env <- meadows.env
  env$half <- rep(c("a", "a", "a", "b", "a", "b", "b", "b", "a", "a", "b", "b"), 2)
  # (warned of: four of its subgroups have a single sample)
  m <- suppressWarnings(morvenak(meadows ~ farm / field / half, data = env, permutations = 0, threads = 1))
  s <- as.data.frame(m, what = "scores")
  sp <- as.data.frame(m, what = "species")
  paths <- list(farm = as.character(env$farm), field = paste(env$farm, env$field, sep = ": "),
                half = paste(env$farm, env$field, env$half, sep = ": "), Within = as.character(env$farm))
  for (name in names(m$ordinations)) {
    o <- m$ordinations[[name]]
    block <- s[s$ordination == name, ]
    expect_identical(block$sample, rownames(meadows))
    expect_identical(block$group, paths[[name]])
    # Each ordination's own axes, NA beyond them; no site scores for the residuals.
    site <- if (is.null(o$site_scores)) matrix(NA_real_, 24L, 0L) else o$site_scores
    pad <- function(m, width) cbind(unname(m), matrix(NA_real_, nrow(m), width - ncol(m)))
    expect_identical(unname(as.matrix(block[grep("^Axis", names(s))])), pad(o$sites, 8L))
    expect_identical(unname(as.matrix(block[grep("^Site", names(s))])), pad(site, ncol(s) - 11L))
    expect_identical(unname(as.matrix(sp[sp$ordination == name, grep("^Axis", names(sp))])), pad(o$species, 8L))
  }
  # Each level, named with all its parents' levels, holds as many samples as its count says.
  lv <- as.data.frame(m, what = "levels")
  expect_identical(lv[c("level", "parent", "count")], do.call(rbind, unname(m$levels))[c("level", "parent", "count")])
  named <- ifelse(is.na(lv$within), lv$level, paste(lv$within, lv$level, sep = ": "))
  expect_identical(lv$count, mapply(function(f, n) sum(paths[[f]] == n), lv$factor, named, USE.NAMES = FALSE))
  # A crossed term's groups are its cells; a model's residuals fit no factor.
  crossed <- as.data.frame(morvenak(meadows ~ farm * field, data = meadows.env, permutations = 0), what = "scores")
  expect_identical(crossed$group[crossed$ordination == "farm:field"],
                   paste(meadows.env$farm, meadows.env$field, sep = ":"))
  expect_true(all(is.na(crossed$group[crossed$ordination == "Within"])))
})
