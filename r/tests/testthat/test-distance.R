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
  expect_error(morvenak(Y ~ Management, d$env, correction = "lingoes"),
               "the Lingoes correction (correction) is of a dissimilarity that is not Euclidean: give a dissimilarity other than the Euclidean distance",
               fixed = TRUE, class = "morvenak_invalid_input")
})

# Principal coordinates against vegan and against the PCA: the eigenvalues are
# lambda / (n - 1), positive ones then the negative ones, vegan's lambda.
test_that("principal coordinates equal wcmdscale's and dbrda's, and of Euclidean distances the PCA's", {
  d <- dune_tables()
  Y <- d$Y
  env <- d$env
  n <- nrow(Y)
  bray <- vegan::vegdist(Y)
  eig <- function(o) c(o$eigenvalues, rev(o$negative_eigenvalues)) * (n - 1)
  same_up_to_sign <- function(a, b) max(vapply(seq_len(ncol(a)), function(k)
    min(max(abs(a[, k] - b[, k])), max(abs(a[, k] + b[, k]))), 0))
  # Each sample its own level: its fitted values' coordinates are those of Gower's matrix itself.
  env$sample <- rownames(env)
  whole <- suppressWarnings(morvenak(Y ~ sample, env, distance = "bray", task = "scores"))$ordinations[[1]]
  w <- vegan::wcmdscale(bray, eig = TRUE)
  expect_lt(max(abs(eig(whole) - w$eig[abs(w$eig) > 1e-6])), 1e-10)
  expect_lt(same_up_to_sign(whole$sites, w$points[, seq_len(ncol(whole$sites))]), 1e-10)
  # A factor's fitted values and the residuals: dbrda's constrained and unconstrained eigenvalues.
  said <- character()
  m <- withCallingHandlers(morvenak(Y ~ Management, env, distance = "bray", task = "scores"),
                           warning = function(w) {
                             said <<- c(said, conditionMessage(w))
                             invokeRestart("muffleWarning")
                           })
  expect_true(any(startsWith(said, "the residuals' principal coordinates have negative eigenvalues whose magnitudes sum to 7.1% of the positive ones")))
  db <- vegan::dbrda(bray ~ Management, env)
  expect_lt(max(abs(eig(m$ordinations[[1]]) - db$CCA$eig)), 1e-10)
  expect_lt(max(abs(eig(m$ordinations[[2]]) - db$CA$eig)), 1e-10)
  negative <- db$CA$eig[db$CA$eig < 0]
  expect_lt(abs(m$ordinations[[2]]$negative_share - sum(-negative) / sum(db$CA$eig[db$CA$eig > 0])), 1e-10)
  expect_lt(max(abs(m$ordinations[[1]]$species - cor(Y, m$ordinations[[1]]$sites))), 1e-10)
  # Euclidean distances given as a matrix: the PCA of the table, eigenvalues and site scores.
  pca <- morvenak(Y ~ Management / Use, env)
  pcoa <- morvenak(dist(Y) ~ Management / Use, env, task = "both")
  for (k in seq_along(pca$ordinations)) {
    expect_lt(max(abs(pcoa$ordinations[[k]]$eigenvalues - pca$ordinations[[k]]$eigenvalues)), 1e-10)
    expect_lt(same_up_to_sign(pcoa$ordinations[[k]]$sites, pca$ordinations[[k]]$sites), 1e-10)
  }
})

test_that("the Lingoes correction's constant and table equal adonis2's add = \"lingoes\"", {
  d <- dune_tables()
  bray <- vegan::vegdist(d$Y)
  a <- vegan::adonis2(bray ~ Management / Use, d$env, permutations = 0, add = "lingoes")
  m <- morvenak(d$Y ~ Management / Use, d$env, distance = "bray", correction = "lingoes", permutations = 0)
  expect_lt(abs(m$options$lingoes_constant - vegan:::addLingoes(as.matrix(bray))), 1e-12)
  expect_output(print(m), "Lingoes correction: 2c added to each squared dissimilarity, c = 0.096786", fixed = TRUE)
  expect_lt(relative_gap(m$table$SumOfSqs, a$SumOfSqs), 1e-10)
  expect_lt(relative_gap(m$table$F[2], a$F[2]), 1e-10)
})
