# What a "morvenak" object shows: print (an anova table with R's stars),
# summary (the table, the levels and the ordinations' axes), scores and the
# table as a data frame. The figures are in figure.R.

# The table as print.anova shows it: P last, so that it gets R's stars.
anova_view <- function(x) {
  t <- x$table[, c("Df", "Df.den", "SumOfSqs", "MeanSqs", "R2", "F", "Pr(>F)")]
  class(t) <- c("anova", "data.frame")
  t
}

# A dissimilarity decomposed through Gower's centred matrix (not one of the
# Euclidean distances of a transformed Y).
from_distances <- function(x) !x$options$distance %in% names(euclidean_of)

# What the analysis decomposes, and its total: the line under the factors.
response_line <- function(x, digits) {
  o <- x$options
  total <- format(x$ssy, digits = digits)
  if (!from_distances(x))
    return(sprintf("Y: %d objects, %d species; transformation: %s%s; SSY = %s", x$n, x$p, o$transform,
                   if (o$distance == "euclidean") "" else sprintf("; distance: %s", o$distance), total))
  how <- c(if (o$binary) "of presences", if (o$sqrt_dist) "square roots")
  how <- if (length(how)) sprintf(" (%s)", paste(how, collapse = ", ")) else ""
  what <- if (o$distance == "given")
    sprintf("Distances: %d objects, given%s%s", x$n,
            if (is.na(o$method)) "" else sprintf(" (method: %s)", o$method), if (o$sqrt_dist) ", square roots" else "")
  else sprintf("Y: %d objects, %d species; transformation: %s; distance: %s%s", x$n, x$p, o$transform,
               o$distance, how)
  lingoes <- if (identical(o$correction, "lingoes"))
    sprintf("\nLingoes correction: 2c added to each squared dissimilarity, c = %s",
            format(o$lingoes_constant, digits = digits))
  else ""
  sprintf("%s%s\nTotal sum of squares (from distances) = %s", what, lingoes, total)
}

permutation_line <- function(x) {
  o <- x$options
  if (o$task == "scores") return("No test: the task computes the ordinations only.")
  if (o$permutations == 0L) return("No test: no permutations were asked.")
  seed <- if (o$seeded) sprintf("seed %s", format(o$seed, scientific = FALSE))
          else "seed 1, the classic program's sequence"
  how <- if (length(x$levels) > 1L && identical(o$main_units, "subgroups"))
    sprintf(paste0("; the main factor's test arranges its subgroups as units (%s), a nested factor's ",
                   "permutes the residuals of the reduced model."),
            if (isTRUE(o$exact_test)) sprintf("all %s distinct arrangements, an exact test",
                                               format(o$arrangements, scientific = FALSE, big.mark = ","))
            else sprintf("random arrangements among %s", format(o$arrangements, big.mark = ",")))
  else if (length(x$levels) > 1L && from_distances(x))
    "; the main factor's test permutes the objects, a nested factor's the reduced model's residual matrix."
  else if (length(x$levels) > 1L)
    "; the main factor's test permutes the rows of Y, a nested factor's the residuals of the reduced model."
  else if (from_distances(x)) ": objects permuted freely (the distances' rows and columns together)."
  else ": rows of Y permuted freely."
  sprintf("Permutations: %d (%s)%s", o$permutations, seed, how)
}

design_line <- function(x) {
  parts <- vapply(seq_along(x$levels), function(k) {
    lv <- x$levels[[k]]
    sprintf("%s (%d %s)", names(x$levels)[k], nrow(lv), if (k == 1L) "levels" else "subgroups")
  }, "")
  paste0(parts[1L], if (length(parts) > 1L) paste0(", nested: ", paste(parts[-1L], collapse = " in it, ")) else "")
}

# The pairwise tests, when asked: a line per factor, its pairs, those tested
# and those whose adjusted P is at most 0.05, that P as a single float (so
# that a P of 0.05 computed as 0.0500000001 counts, as the command line
# counts it): below the midpoint of 0.05f and the float above.
pairwise_lines <- function(x) {
  vapply(names(x$pairwise), function(term) {
    t <- x$pairwise[[term]]
    if (nrow(t) == 1L && is.na(t$LevelA)) return(sprintf("Pairs of %s: %s\n", term, t$Note))
    tested <- !is.na(t$P)
    below <- tested & !is.na(t$PAdjusted) & t$PAdjusted < 13421773.5 * 2^-28
    sprintf("Pairs of %s: %d pairs, %d tested, %d with adjusted P <= 0.05\n", term, nrow(t), sum(tested), sum(below))
  }, "", USE.NAMES = FALSE)
}

# The test of dispersion, when asked: its F and P in a line, and a line for
# the main factor's test of its subgroups' centres. That test is the list
# `units` of the main factor's; its own `units` names the subgroups' factor.
dispersion_line <- function(x, digits) {
  line <- function(d) {
    units <- if (is.character(d$units)) d$units
    test <- if (is.na(d$F)) "no F: no variation in the distances"
            else if (is.na(d$P)) sprintf("F = %s, not tested: no permutations", format(d$F, digits = digits))
            else sprintf("F = %s, P = %s (%d permutations)", format(d$F, digits = digits),
                         format(d$P, digits = digits), d$permutations)
    centres <- if (d$centre == "median") "spatial medians" else "centroids"
    what <- if (!is.null(units)) sprintf("%s's subgroups of %s around its levels' %s", d$factor, units, centres)
            else if (!is.null(d$within)) sprintf("%s within %s around its subgroups' %s", d$factor, d$within, centres)
            else sprintf("%s around its levels' %s", d$factor, centres)
    sprintf("Dispersion of %s: %s\n", what, test)
  }
  d <- x$dispersion
  paste0(line(d), if (is.list(d$units)) line(d$units) else "")
}

# A model of terms: the model and its sums of squares, the table, how each
# term was tested.
print_model <- function(x, digits, signif.stars, ...) {
  o <- x$options
  cat("Multivariate analysis of variance by redundancy analysis\n\n")
  mixed <- if (isTRUE(o$mixed))
    sprintf("; random factors: %s; %s expected mean squares", paste(o$random, collapse = ", "),
            if (o$restricted) "restricted" else if (isFALSE(o$balanced)) "unrestricted (the design is unbalanced)"
            else "unrestricted")
  else ""
  cat(sprintf("Model: %s; %s sums of squares%s%s\n", o$model, o$ss,
              if (length(o$covariates)) sprintf("; covariates: %s", paste(o$covariates, collapse = ", ")) else "",
              mixed))
  cat(response_line(x, digits), "\n\n", sep = "")
  print(anova_view(x), digits = digits, signif.stars = signif.stars, ...)
  t <- x$table
  if (o$task == "scores" || o$permutations == 0L) {
    cat("\nNo test: no permutations were asked.\n")
  } else {
    seed <- if (o$seeded) sprintf("seed %s", format(o$seed, scientific = FALSE))
            else "seed 1, the classic program's sequence"
    within <- if (is.na(o$strata)) "" else sprintf(", within the levels of %s", o$strata)
    cat(sprintf("\nPermutations: %d (%s)%s; each term's test permuted:\n", o$permutations, seed, within))
    tested <- nzchar(t$permuted)
    # A mixed design's test permutes the units of its denominator's variation.
    how <- if (isTRUE(o$mixed)) sprintf("%s, against %s", t$Units, t$Denominator) else t$permuted
    for (k in which(tested)) cat(sprintf("  %s: %s\n", rownames(t)[k], how[k]))
  }
  for (k in which(x$condition)) cat(sprintf("%s: partialled out, not tested\n", names(x$condition)[k]))
  # Why a term has no F: no denominator, or one of a negative weight.
  for (row in names(x$notes))
    if (startsWith(x$notes[[row]], "cannot") || startsWith(x$notes[[row]], "no F"))
      cat(sprintf("%s: %s\n", row, x$notes[[row]]))
  if (!is.null(x$pairwise)) cat(pairwise_lines(x), sep = "")
  if (!is.null(x$dispersion)) cat(dispersion_line(x, digits))
  invisible(x)
}

print.morvenak <- function(x, digits = max(getOption("digits") - 2L, 3L),
                           signif.stars = getOption("show.signif.stars"), ...) {
  if (!is.null(x$options$model)) return(print_model(x, digits, signif.stars, ...))
  cat(if (length(x$levels) > 1L) "Nested multivariate" else "Multivariate",
      "analysis of variance by redundancy analysis\n\n")
  cat("Factors: ", design_line(x), "\n", sep = "")
  cat(response_line(x, digits), "\n\n", sep = "")
  print(anova_view(x), digits = digits, signif.stars = signif.stars, ...)
  cat("\n", permutation_line(x), "\n", sep = "")
  # Rows that no test could take (the line above covers the untested task).
  for (row in names(x$notes))
    if (startsWith(x$notes[[row]], "cannot")) cat(sprintf("%s: %s\n", row, x$notes[[row]]))
  if (!is.null(x$pairwise)) cat(pairwise_lines(x), sep = "")
  if (!is.null(x$dispersion)) cat(dispersion_line(x, digits))
  invisible(x)
}

summary.morvenak <- function(object, ...) {
  axes <- lapply(object$ordinations, function(o) {
    if (!length(o$eigenvalues)) return(NULL)
    rbind(Eigenvalue = o$eigenvalues, Proportion = o$proportions, Cumulative = cumsum(o$proportions))
  })
  structure(list(table = object$table, levels = object$levels, axes = axes, titles = vapply(object$ordinations, function(o) o$title, ""),
                 notes = vapply(object$ordinations, function(o) o$note, ""), object = object),
            class = "summary.morvenak")
}

print.summary.morvenak <- function(x, digits = max(getOption("digits") - 3L, 3L), ...) {
  print(x$object, digits = digits, ...)
  if (!is.null(x$object$options$model)) return(invisible(x))
  cat("\nLevels, in order:\n")
  for (name in names(x$levels)) {
    lv <- x$levels[[name]]
    shown <- if (all(is.na(lv$parent))) lv$level else paste0(lv$parent, "/", lv$level)
    cat(sprintf("  %s: %s\n", name, paste0(shown, " (", lv$count, ")", collapse = ", ")))
  }
  for (k in seq_along(x$axes)) {
    cat(sprintf("\n%s (%s):\n", x$titles[k], names(x$axes)[k]))
    if (is.null(x$axes[[k]])) cat("  ", x$notes[k], "\n", sep = "")
    else print(x$axes[[k]][, seq_len(min(ncol(x$axes[[k]]), 6L)), drop = FALSE], digits = digits)
  }
  invisible(x)
}

scores <- function(x, ...) UseMethod("scores")

# The ordination named (a factor's name or "Within") or numbered.
pick_ordination <- function(x, ordination) {
  if (!length(x$ordinations)) stop("no ordinations: the task was 'anova'", call. = FALSE)
  if (is.character(ordination)) {
    if (!ordination %in% names(x$ordinations))
      stop(sprintf("no ordination '%s': there are %s", ordination,
                   paste0("'", names(x$ordinations), "'", collapse = ", ")), call. = FALSE)
    return(x$ordinations[[ordination]])
  }
  if (!is.numeric(ordination) || ordination < 1 || ordination > length(x$ordinations))
    stop(sprintf("'ordination' must be from 1 to %d", length(x$ordinations)), call. = FALSE)
  x$ordinations[[ordination]]
}

scores.morvenak <- function(x, display = c("sites", "species"), choices = c(1L, 2L), ordination = 1L, ...) {
  display <- match.arg(display, c("sites", "species", "wa"), several.ok = TRUE)
  o <- pick_ordination(x, ordination)
  out <- lapply(setNames(display, display), function(d) {
    m <- o[[if (d == "wa") "site_scores" else d]]
    if (is.null(m))
      stop(sprintf("ordination '%s' has no site scores: only the fitted values' ordinations have them", o$title),
           call. = FALSE)
    m[, choices[choices <= ncol(m)], drop = FALSE]
  })
  if (length(out) == 1L) out[[1L]] else out
}

# The table with a row per source of variation (per term for a model of
# terms), as the command line's results.tsv has it.
table_frame <- function(x, row.names) {
  t <- x$table
  if (!is.null(x$options$model)) {
    out <- data.frame(term = rownames(t), condition = unname(x$condition), t, note = "", check.names = FALSE,
                      stringsAsFactors = FALSE)
    out$note[match(names(x$notes), rownames(t))] <- unname(x$notes)
    rownames(out) <- if (is.null(row.names)) rownames(t) else row.names
    return(out)
  }
  nf <- length(x$levels)
  out <- data.frame(source = c(c("main", "nested1", "nested2")[seq_len(nf)], "within", "total"),
                    factor = c(names(x$levels), "", ""), t,
                    permutations = ifelse(is.na(t[["Pr(>F)"]]), 0L, x$options$permutations),
                    note = "", check.names = FALSE, stringsAsFactors = FALSE)
  out$note[match(names(x$notes), rownames(t))] <- unname(x$notes)
  rownames(out) <- if (is.null(row.names)) rownames(t) else row.names
  out
}

# Each sample's group in an ordination: its level of the factor the
# ordination fits, a nested factor's named with its parents' ("South: field
# 1"); a crossed term's cell ("South:field 1"); the main factor's level for
# the residuals of a nested design. NA where the ordination fits no factor
# (a covariate's term, a model's residuals).
ordination_groups <- function(x, name) {
  g <- x$groups
  if (length(x$levels)) {
    k <- match(name, names(x$levels))
    return(do.call(paste, c(unname(g[seq_len(if (is.na(k)) 1L else k)]), sep = ": ")))
  }
  vars <- strsplit(name, ":", fixed = TRUE)[[1L]]
  if (name == "Within" || !all(vars %in% names(g)) || any(vars %in% x$options$covariates))
    return(rep(NA_character_, x$n))
  do.call(paste, c(unname(g[vars]), sep = ":"))
}

# Columns PREFIX1 ... PREFIXwidth of a matrix for each ordination, stacked,
# NA beyond an ordination's own axes (or for a matrix it has not: NULL).
stacked_axes <- function(matrices, rows, prefix) {
  width <- max(0L, vapply(matrices, function(m) if (is.null(m)) 0L else ncol(m), 0L))
  columns <- lapply(seq_len(width), function(a) {
    unlist(Map(function(m, n) if (!is.null(m) && a <= ncol(m)) unname(m[, a]) else rep(NA_real_, n),
               matrices, rows), use.names = FALSE)
  })
  names(columns) <- paste0(prefix, seq_len(width))
  columns
}

# The scores of every ordination that has axes, a row per sample (or
# species) and ordination.
ordination_frame <- function(x, what) {
  if (!length(x$ordinations)) stop("no ordinations: the task was 'anova'", call. = FALSE)
  shown <- Filter(function(o) ncol(o$sites) > 0L, x$ordinations)
  part <- if (what == "scores") "sites" else "species"
  rows <- vapply(shown, function(o) nrow(o[[part]]), 0L)
  key <- list(ordination = rep(names(shown), rows))
  key[[if (what == "scores") "sample" else "species"]] <-
    unlist(lapply(shown, function(o) rownames(o[[part]])), use.names = FALSE)
  if (what == "scores") {
    key$group <- unlist(lapply(names(shown), function(name) ordination_groups(x, name)), use.names = FALSE)
    if (is.null(key$group)) key$group <- character()
  }
  scores <- stacked_axes(lapply(shown, `[[`, part), rows, "Axis")
  if (what == "scores") scores <- c(scores, stacked_axes(lapply(shown, `[[`, "site_scores"), rows, "Site"))
  as.data.frame(c(lapply(key, as.character), scores), stringsAsFactors = FALSE)
}

# Each factor's levels in their order: their parent, all their parents'
# levels (`within`) and their counts.
levels_frame <- function(x) {
  if (!length(x$levels))
    stop("a model of terms has no nested levels: each variable's labels are in $groups", call. = FALSE)
  frames <- lapply(seq_along(x$levels), function(k)
    data.frame(source = c("main", "nested1", "nested2")[k], factor = names(x$levels)[k], x$levels[[k]],
               stringsAsFactors = FALSE))
  out <- do.call(rbind, frames)
  rownames(out) <- NULL
  out
}

as.data.frame.morvenak <- function(x, row.names = NULL, optional = FALSE,
                                   what = c("table", "scores", "species", "levels"), ...) {
  what <- match.arg(what)
  if (what == "table") return(table_frame(x, row.names))
  out <- if (what == "levels") levels_frame(x) else ordination_frame(x, what)
  if (!is.null(row.names)) rownames(out) <- row.names
  out
}
