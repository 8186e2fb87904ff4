# plot() and autoplot(): the figure model of the engine's figure code drawn
# for designs of one, two and three factors (that the model is the command's,
# byte for byte, is tests/r/package_vs_engine.sh's, which runs the program),
# and what a user counts on in it.

# (The analyses warn of their designs: few subgroups to permute, subgroups of
# a single sample.)
fitted_meadows <- function(...) suppressWarnings(morvenak(meadows ~ farm / field, data = meadows.env, ...,
                                                          permutations = 0, threads = 1))

designs <- function() {
  env <- meadows.env
  env$half <- rep(c("a", "a", "a", "b", "a", "b", "b", "b", "a", "a", "b", "b"), 2)
  list(one = morvenak(meadows, "farm", data = data.frame(farm = ifelse(meadows.env$farm == "North", "north", "other")),
                      task = "scores", threads = 1),
       two = fitted_meadows(),
       three = suppressWarnings(morvenak(meadows ~ farm / field / half, data = env, permutations = 0, threads = 1)))
}

legend_texts <- function(model) vapply(model$legend, function(e) e$text$text, "")

# Each sample's place: the marker that draws it.
sample_places <- function(model) {
  samples <- lapply(model$markers, function(m) unlist(m$samples))
  at <- rep(seq_along(samples), lengths(samples))
  list(sample = unlist(samples), x = vapply(model$markers, `[[`, 0, "x")[at],
       y = vapply(model$markers, `[[`, 0, "y")[at])
}

test_that("plot() draws every ordination of one, two and three factors, each sample once", {
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  strips <- 0L
  for (m in designs()) {
    for (k in seq_along(m$ordinations)) {
      expect_silent(model <- plot(m, k))
      expect_identical(sort(sample_places(model)$sample), seq_len(m$n) - 1L)
      texts <- legend_texts(model)
      expect_false(anyDuplicated(texts) > 0L, label = paste(texts, collapse = " | "))
      expect_identical(model$strip, ncol(m$ordinations[[k]]$sites) == 1L)
      strips <- strips + model$strip
    }
  }
  expect_identical(strips, 1L)  # the two farms' ordination
})

test_that("autoplot() draws the same models as ggplot objects", {
  skip_if_not_installed("ggplot2")
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  for (m in designs())
    for (k in seq_along(m$ordinations)) expect_silent(print(ggplot2::autoplot(m, k)))
  # Its texts at the model's places, on the canvas's y that runs down.
  m <- fitted_meadows()
  model <- plot(m, 2)
  g <- ggplot2::autoplot(m, 2)
  texts <- ggplot2::layer_data(g, length(g$layers))
  at <- match(legend_texts(model), texts$label)
  expect_equal(cbind(texts$x[at], -texts$y[at]),
               cbind(vapply(model$legend, function(e) e$text$x, 0), vapply(model$legend, function(e) e$text$y, 0)))
})

test_that("the legend names every subgroup with its parent, and the samples lie around their centroids", {
  m <- fitted_meadows()
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  lv <- m$levels$field
  expect_identical(legend_texts(plot(m, "field")),
                   c("field within farm", sprintf("%s: %s (%d)", lv$parent, lv$level, lv$count)))
  # At their site scores, each farm's samples average to its fitted centroid;
  # at their fitted scores, each lies on it.
  for (scores in c("sites", "fitted")) {
    model <- plot(m, scores = scores)
    p <- sample_places(model)
    farm <- as.integer(meadows.env$farm)[p$sample + 1L]
    for (ce in model$centroids) {
      mine <- farm == ce$level + 1L
      expect_identical(ce$name, levels(meadows.env$farm)[ce$level + 1L])
      if (scores == "sites") expect_equal(c(mean(p$x[mine]), mean(p$y[mine])), c(ce$marker$x, ce$marker$y))
      else expect_equal(cbind(p$x[mine], p$y[mine]) - rep(c(ce$marker$x, ce$marker$y), each = sum(mine)),
                        matrix(0, sum(mine), 2L))
    }
  }
})

test_that("plot() draws the axes asked for, a one-axis ordination as a strip chart of its axis", {
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  one <- designs()$one
  expect_identical(attr(plot(one, choices = c(3, 1)), "json"), attr(plot(one), "json"))
  expect_error(plot(one, choices = c(2, 3)), "ordination 'farm' has 1 axis: no axis 2", fixed = TRUE)
  m <- fitted_meadows()
  drawn <- plot(m, ordination = "Within", choices = c(3, 2))
  expect_identical(c(drawn$x_title$text, drawn$y_title$text),
                   sprintf("Axis %d (%.1f%% of total variance)", 3:2, 100 * m$ordinations$Within$proportions[3:2]))
  expect_error(plot(m, choices = c(1, 3)), "ordination 'farm' has 2 axes: no axis 3", fixed = TRUE)
  expect_error(plot(m, choices = c(2, 2)), "'choices' must be two different axes", fixed = TRUE)
  expect_error(plot(m, species = 5), "unknown argument: species", fixed = TRUE)
  expect_error(plot(morvenak(meadows, meadows.env$farm, task = "anova", permutations = 0)),
               "no ordinations: the task was 'anova'")
})

test_that("colour_by and shape_by take a column of data, a factor of the design or a vector", {
  grDevices::pdf(NULL)
  on.exit(grDevices::dev.off())
  m <- fitted_meadows()
  by_name <- plot(m, colour_by = "field", shape_by = "farm")
  by_value <- plot(m, colour_by = meadows.env$field, shape_by = "farm")
  # The same colours and shapes (the legend's title, wider, narrows the frame).
  style <- function(model) lapply(model$markers, `[`, c("fill", "shape", "samples"))
  expect_identical(style(by_name), style(by_value))
  expect_identical(legend_texts(by_value)[1L], "meadows.env$field")
  shade <- plot(m, colour_by = "Clover", data = meadows)
  expect_identical(c(shade$colour_bar$title$text, shade$colour_bar$lo, shade$colour_bar$hi),
                   c("Clover", range(meadows$Clover)))
  expect_error(plot(m, colour_by = "nowhere", data = meadows),
               "'colour_by' names 'nowhere', which is no column of 'data' and no factor of the design", fixed = TRUE)
  expect_error(plot(m, colour_by = 1:3), "'colour_by' (1:3) has 3 values for 24 samples", fixed = TRUE)
  expect_error(plot(m, shape_by = rownames(meadows)),
               "shape_by rownames(meadows): 24 different values, more than the 6 shapes", fixed = TRUE)
})
