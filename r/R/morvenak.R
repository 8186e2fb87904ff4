# morvenak(): R's data in, checked and turned into what the engine takes
# (a double matrix, or the dissimilarities of a "dist" object, and each
# factor's labels as text, in row order), the engine's result out as an
# object of class "morvenak". The formula method reads
# `Y ~ Main / Nested1 / Nested2` and calls the default method's run.

morvenak <- function(Y, ...) UseMethod("morvenak")

transform_names <- c("none", "chord", "chi2-metric", "chi2-distance", "profiles", "hellinger",
                     "sqrt", "fourth-root", "pa", "wisconsin")
# The Euclidean distances of a transformed Y (the classic analysis), by the
# transformation each name stands for; the other names are the dissimilarities
# the engine decomposes through Gower's centred matrix.
euclidean_of <- c("euclidean" = "none", "chord" = "chord", "hellinger" = "hellinger", "chisq" = "chi2-distance")
distance_names <- c(names(euclidean_of), "bray", "jaccard", "kulczynski", "manhattan", "canberra", "gower",
                    "altgower")

morvenak.default <- function(Y, main, nested = NULL, data = NULL,
                             transform = c("none", "chord", "chi2-metric", "chi2-distance", "profiles",
                                           "hellinger", "sqrt", "fourth-root", "pa", "wisconsin"),
                             permutations = 999, task = c("both", "anova", "scores"),
                             seed = NULL, threads = NULL,
                             main_units = c("objects", "subgroups"), exact = FALSE,
                             distance = c("euclidean", "chord", "hellinger", "chisq", "bray", "jaccard",
                                          "kulczynski", "manhattan", "canberra", "gower", "altgower"),
                             binary = FALSE, sqrt_dist = FALSE, correction = c("none", "lingoes"),
                             residual_axes = NULL, dispersion = NULL, bias_adjust = FALSE,
                             dispersion_centre = c("centroid", "median"),
                             p_adjust = c("holm", "bonferroni", "fdr", "none"), pairwise = NULL,
                             scaling = 1, ...) {
  call <- match.call()
  call[[1L]] <- as.name("morvenak")
  if (length(list(...)) > 0L)
    stop_morvenak(sprintf("unknown argument%s: %s", if (length(list(...)) > 1L) "s" else "",
                          paste(names(list(...)), collapse = ", ")))
  response <- response_of(Y)
  if (missing(main)) stop_morvenak("'main' is missing: give the main factor")
  data <- rows_for(data, response)
  factors <- c(list(factor_of(main, deparse1(substitute(main)), data, "main")),
               nested_factors(nested, substitute(nested), data))
  analysis(response, factors, transform, permutations, if (missing(task)) NULL else task, seed, threads,
           main_units, exact, distance, binary, sqrt_dist, correction, residual_axes, call,
           dispersion = dispersion_of(dispersion, bias_adjust, p_adjust, pairwise,
                                      if (missing(dispersion_centre)) NULL else dispersion_centre),
           scaling = scaling)
}

morvenak.formula <- function(Y, data = NULL, covariates = NULL, ss = c("sequential", "marginal"), strata = NULL,
                             random = NULL, fixed = NULL, unrestricted = FALSE, restricted = FALSE,
                             denominator = c("classic", "ems"), ...) {
  formula <- Y
  call <- match.call()
  call[[1L]] <- as.name("morvenak")
  if (length(formula) != 3L)
    stop_morvenak("the formula needs a response: Y ~ Main / Nested")
  env <- environment(formula)
  if (is.null(env)) env <- parent.frame()
  data <- checked_data(data)
  found(formula[[2L]], "the response Y", data, env)
  response <- response_of(eval(formula[[2L]], if (is.null(data)) env else data, env))
  data <- rows_for(data, response)
  frame <- if (is.null(data)) env else data
  if (any(c("main", "nested") %in% names(list(...))))
    stop_morvenak("give the factors in the formula, or as 'main' and 'nested', not both", call = call)
  ss <- match.arg(ss, c("sequential", "marginal"))
  denominator <- match.arg(denominator, c("classic", "ems"))
  mixed <- mixed_of(random, fixed, unrestricted, restricted, denominator)
  # A random factor, or denominators from the expected mean squares, make even
  # a model of nested terms a model of terms.
  plain <- is.null(covariates) && is.null(strata) && ss == "sequential" && is.null(mixed)
  rhs <- formula[[3L]]
  if (!plain || !nesting_only(rhs)) {
    text <- deparse1(rhs)
    nested <- if (plain) model_factors(text) else character()
    if (isTRUE(mixed$ems) && !length(mixed$random) && !length(model_factors(text)))
      stop_morvenak(sprintf("denominator = \"ems\" takes a model of nested terms (A / B), not '%s': name the random factors of any other model in 'random'",
                            text), call = call)
    if (!length(nested))
      return(model_analysis(response, text, rhs, data, env, covariates, substitute(covariates), ss, strata,
                            substitute(strata), mixed, ..., call = call))
    # A model of nested terms written otherwise (A + A:B): the nested design.
    rhs <- Reduce(function(a, b) call("/", a, b), lapply(nested, as.name))
  }
  terms <- nesting_terms(rhs)
  if (length(terms) > 3L)
    stop_morvenak(sprintf("the formula has %d factors; at most 3: a main factor and two nested in it",
                          length(terms)))
  factors <- lapply(seq_along(terms), function(k) {
    name <- deparse1(terms[[k]])
    found(terms[[k]], if (k == 1L) "the main factor" else "the nested factor", data, env)
    values <- eval(terms[[k]], frame, env)
    labels_of(values, name)
  })
  analysis_with_defaults(response, factors, ..., call = call)
}

# Whether a formula's right side is names joined by '/' alone (or something
# that is no model at all, which the nested reading refuses in its words).
nesting_only <- function(rhs) {
  if (is.name(rhs) || !is.call(rhs)) return(TRUE)
  if (identical(rhs[[1L]], as.name("/"))) return(nesting_only(rhs[[2L]]) && nesting_only(rhs[[3L]]))
  if (identical(rhs[[1L]], as.name("("))) return(nesting_only(rhs[[2L]]))
  FALSE
}

model_factors <- function(text) {
  out <- .Call(morvenak_model_factors, text)
  if (!out$ok) engine_failure(out, NULL)
  out$factors
}

# ---------------------------------------------------------------- a model of terms

# Names given as a one-sided formula (~ A + B) or as a character vector.
names_of <- function(x, what) {
  if (inherits(x, "formula")) {
    if (length(x) != 2L) stop_morvenak(sprintf("'%s' as a formula is one-sided: ~ %s", what, deparse1(x[[3L]])))
    return(all.vars(x[[2L]]))
  }
  if (!is.character(x) || anyNA(x) || !length(x))
    stop_morvenak(sprintf("'%s' must be a one-sided formula (~ A + B) or the names of columns of 'data'", what))
  x
}

# A mixed design: the factors named random, the terms kept fixed (their
# labels, "dose:week", or those of a one-sided formula ~ dose:week), the
# convention of the expected mean squares (unrestricted, or restricted
# insisted on) and whether the denominators of a model of nested terms come
# from its expected mean squares (ems: its nested factors random, none named);
# NULL when no factor is random and the denominators are the classic ones.
mixed_of <- function(random, fixed, unrestricted, restricted = FALSE, denominator = "classic") {
  unrestricted <- flag(unrestricted, "unrestricted")
  restricted <- flag(restricted, "restricted")
  if (restricted && unrestricted)
    stop_morvenak("the expected mean squares are restricted or unrestricted: give 'restricted' or 'unrestricted', not both")
  ems <- identical(denominator, "ems")
  if (is.null(random) && !ems) {
    if (!is.null(fixed) || unrestricted || restricted)
      stop_morvenak(sprintf("'%s' goes with a mixed design: name its random factors in 'random', or take denominator = \"ems\" for a model of nested terms",
                            if (!is.null(fixed)) "fixed" else if (unrestricted) "unrestricted" else "restricted"))
    return(NULL)
  }
  random <- if (is.null(random)) character() else names_of(random, "random")
  if (inherits(fixed, "formula")) {
    if (length(fixed) != 2L) stop_morvenak(sprintf("'fixed' as a formula is one-sided: ~ %s", deparse1(fixed[[3L]])))
    fixed <- attr(stats::terms(fixed), "term.labels")
  } else if (!is.null(fixed) && (!is.character(fixed) || anyNA(fixed) || !length(fixed))) {
    stop_morvenak("'fixed' must be a one-sided formula (~ A:B) or the labels of terms of the model (\"A:B\")")
  }
  list(random = random, fixed = as.character(fixed), unrestricted = unrestricted, restricted = restricted, ems = ems)
}

# The values of a variable of the model: a column of `data`, or a variable
# where the formula was written.
model_variable <- function(name, data, env, role) {
  found(as.name(name), role, data, env)
  eval(as.name(name), if (is.null(data)) env else data, env)
}

# The strata: a column name of `data`, one label per object, or a one-sided
# formula naming a column; their labels and their name.
strata_of <- function(strata, expr, data, env, n) {
  if (inherits(strata, "formula")) {
    name <- names_of(strata, "strata")
    if (length(name) != 1L) stop_morvenak(sprintf("'strata' names one column, not %d", length(name)))
    values <- model_variable(name, data, env, "the strata")
  } else if (is.character(strata) && length(strata) == 1L && n != 1L) {
    name <- strata
    if (is.null(data) || !name %in% names(data))
      stop_morvenak(sprintf("'data' has no column '%s' (for the strata)", name))
    values <- data[[name]]
  } else {
    name <- if (is.name(expr)) deparse1(expr) else "strata"
    values <- strata
  }
  s <- labels_of(values, name)
  if (length(s$labels) != n)
    stop_morvenak(sprintf("the strata '%s' have %d labels for %d objects", name, length(s$labels), n))
  s
}

model_analysis <- function(response, text, rhs, data, env, covariates, covariates_expr, ss, strata, strata_expr,
                           mixed = NULL, ..., call) {
  n <- length(response$samples)
  variables <- all.vars(rhs)
  numeric_names <- if (is.null(covariates)) character() else names_of(covariates, "covariates")
  stray <- setdiff(numeric_names, variables)
  if (length(stray))
    stop_morvenak(sprintf("covariate '%s': the model '%s' has no variable %s", stray[1L], text, stray[1L]))
  factors <- list()
  values <- list()
  for (name in variables) {
    x <- model_variable(name, data, env, if (name %in% numeric_names) "the covariate" else "a factor of the model")
    if (!name %in% numeric_names) {
      factors[[length(factors) + 1L]] <- labels_of(x, name)
      next
    }
    if (!is.numeric(x) || is.factor(x) || !is.null(dim(x)))
      stop_morvenak(sprintf("covariate '%s' must be numeric, one value per object, not %s", name, class(x)[1L]))
    if (length(x) != n) stop_morvenak(sprintf("covariate '%s' has %d values for %d objects", name, length(x), n))
    bad <- which(!is.finite(x))
    if (length(bad))
      stop_morvenak(sprintf("covariate '%s' has no finite value (%s) for object %d", name, format(x[bad[1L]]),
                            bad[1L]))
    values[[name]] <- as.double(x)
  }
  for (f in factors)
    if (length(f$labels) != n)
      stop_morvenak(sprintf("factor '%s' has %d labels for %d objects", f$name, length(f$labels), n))
  model <- list(text = text, ss = ss, covariates = values,
                strata = if (!is.null(strata)) strata_of(strata, strata_expr, data, env, n), mixed = mixed)
  analysis_with_defaults(response, factors, ..., model = model, call = call)
}

# ---------------------------------------------------------------- the run

analysis_with_defaults <- function(response, factors,
                                   transform = c("none", "chord", "chi2-metric", "chi2-distance", "profiles",
                                                 "hellinger", "sqrt", "fourth-root", "pa", "wisconsin"),
                                   permutations = 999, task = c("both", "anova", "scores"),
                                   seed = NULL, threads = NULL, main_units = c("objects", "subgroups"),
                                   exact = FALSE,
                                   distance = c("euclidean", "chord", "hellinger", "chisq", "bray", "jaccard",
                                                "kulczynski", "manhattan", "canberra", "gower", "altgower"),
                                   binary = FALSE, sqrt_dist = FALSE, correction = c("none", "lingoes"),
                                   residual_axes = NULL, dispersion = NULL, bias_adjust = FALSE,
                                   dispersion_centre = c("centroid", "median"),
                                   p_adjust = c("holm", "bonferroni", "fdr", "none"), pairwise = NULL,
                                   scaling = 1, model = NULL, call) {
  analysis(response, factors, transform, permutations, if (missing(task)) NULL else task, seed, threads,
           main_units, exact, distance, binary, sqrt_dist, correction, residual_axes, call, model,
           dispersion_of(dispersion, bias_adjust, p_adjust, pairwise,
                         if (missing(dispersion_centre)) NULL else dispersion_centre),
           scaling)
}

# The tests beside the analysis: the test of dispersion's factor ("" for
# none), its bias adjustment and centre (NULL: the centroid), the factors tested in pairs (`pairwise`,
# each a name or "Use within Management"; empty for none) and the adjustment
# of the pairs' P, which both take.
dispersion_of <- function(dispersion, bias_adjust, p_adjust, pairwise = NULL, centre = NULL) {
  p_adjust <- match.arg(p_adjust, c("holm", "bonferroni", "fdr", "none"))
  median <- !is.null(centre) && match.arg(centre, c("centroid", "median")) == "median"
  bias_adjust <- flag(bias_adjust, "bias_adjust")
  if (!is.null(pairwise) &&
      (!is.character(pairwise) || !length(pairwise) || anyNA(pairwise) || !all(nzchar(pairwise))))
    stop_morvenak("'pairwise' must name factors of the design (\"Use\", or \"Use within Management\")")
  if (anyDuplicated(pairwise))
    stop_morvenak(sprintf("'pairwise' names '%s' twice", pairwise[anyDuplicated(pairwise)]))
  pairwise <- as.character(pairwise)
  if (is.null(dispersion)) {
    if (bias_adjust)
      stop_morvenak("'bias_adjust' goes with a test of dispersion: name its factor in 'dispersion'")
    if (median)
      stop_morvenak("'dispersion_centre' goes with a test of dispersion: name its factor in 'dispersion'")
    if (p_adjust != "holm" && !length(pairwise))
      stop_morvenak("'p_adjust' goes with pairwise tests: name their factors in 'pairwise' or 'dispersion'")
    return(list(factor = "", bias_adjust = FALSE, median = FALSE, p_adjust = p_adjust, pairwise = pairwise))
  }
  if (!is.character(dispersion) || length(dispersion) != 1L || is.na(dispersion) || !nzchar(dispersion))
    stop_morvenak("'dispersion' must be the name of a factor of the design")
  list(factor = dispersion, bias_adjust = bias_adjust, median = median, p_adjust = p_adjust, pairwise = pairwise)
}

transform_codes <- setNames(0:9, transform_names)
task_codes <- c("anova" = 1L, "scores" = 2L, "both" = 3L)

flag <- function(x, what) {
  if (!is.logical(x) || length(x) != 1L || is.na(x)) stop_morvenak(sprintf("'%s' must be TRUE or FALSE", what))
  x
}

# The dissimilarity and the transformation as the engine takes them: the name
# of its dissimilarity ("euclidean" for the four Euclidean names, "given" for
# a dist object) and the transformation, which the Euclidean names set.
dissimilarity_of <- function(distance, transform, response) {
  if (!is.null(response$d)) {
    if (!identical(distance, "euclidean"))
      stop_morvenak(sprintf("distance '%s' is computed from a species table: the distances of a dist object are taken as they are",
                            distance))
    return(list(name = "given", engine = "given", transform = transform))
  }
  if (distance %in% names(euclidean_of)) {
    if (distance != "euclidean" && transform != "none")
      stop_morvenak(sprintf("distance '%s' is the Euclidean distance of Y as transformed by '%s': it takes no transformation of its own, not '%s'",
                            distance, euclidean_of[[distance]], transform))
    return(list(name = distance, engine = "euclidean",
                transform = if (distance == "euclidean") transform else euclidean_of[[distance]]))
  }
  list(name = distance, engine = distance, transform = transform)
}

# `model`: NULL for a nested design; for a model of terms its text, its sums
# of squares ("sequential" or "marginal"), its covariates (a named list of
# values) and its strata (NULL, or labels_of()'s list).
analysis <- function(response, factors, transform, permutations, task, seed, threads, main_units, exact,
                     distance, binary, sqrt_dist, correction, residual_axes, call, model = NULL,
                     dispersion = dispersion_of(NULL, FALSE, "holm"), scaling = 1) {
  # The scaling of the scores: 1, as computed (distances among objects); 2,
  # correlations among species. The engine scales them, as it does for every
  # front end.
  scaling <- whole_number(scaling, "scaling", 1, 2)
  transform <- match.arg(transform, transform_names)
  correction <- match.arg(correction, c("none", "lingoes"))
  axes <- if (is.null(residual_axes)) -1L else whole_number(residual_axes, "residual_axes", 0, .Machine$integer.max)
  distance <- match.arg(distance, distance_names)
  main_units <- match.arg(main_units, c("objects", "subgroups"))
  exact <- flag(exact, "exact")
  binary <- flag(binary, "binary")
  sqrt_dist <- flag(sqrt_dist, "sqrt_dist")
  if (!is.null(model) && (main_units != "objects" || exact))
    stop_morvenak(sprintf("'%s' goes with a nested design (Y ~ A / B); a model of terms permutes each term's reduced model's residuals",
                          if (exact) "exact" else "main_units"))
  if (exact && main_units != "subgroups")
    stop_morvenak("'exact' applies to main_units = \"subgroups\" only")
  if (main_units == "subgroups" && length(factors) < 2L)
    stop_morvenak("main_units = \"subgroups\" needs a nested factor: its subgroups are the units")
  used <- dissimilarity_of(distance, transform, response)
  # A dissimilarity's principal coordinates cost an n x n decomposition: its task is the table unless asked.
  task <- if (is.null(task)) if (used$engine == "euclidean") "both" else "anova"
          else match.arg(task, c("both", "anova", "scores"))
  permutations <- whole_number(permutations, "permutations", 0, .Machine$integer.max)
  seed_value <- if (is.null(seed)) 1 else whole_number(seed, "seed", 0, 4294967295)
  thread_count <- if (is.null(threads)) 0L else whole_number(threads, "threads", 1, 1024)
  names <- vapply(factors, function(f) f$name, "")
  if (anyDuplicated(names)) stop_morvenak(sprintf("two factors are named '%s'", names[anyDuplicated(names)]))
  out <- .Call(morvenak_analyse, response$y, lapply(factors, function(f) f$labels),
               lapply(factors, function(f) f$order), names, transform_codes[[used$transform]],
               as.integer(permutations), task_codes[[task]], as.numeric(seed_value), as.integer(thread_count),
               main_units == "subgroups", exact, used$engine, binary, sqrt_dist, response$d,
               correction == "lingoes", as.integer(axes),
               if (is.null(model)) "" else model$text, if (is.null(model)) list() else model$covariates,
               if (is.null(model$strata)) NULL else model$strata$labels,
               if (is.null(model$strata)) "" else model$strata$name, identical(model$ss, "marginal"),
               as.character(model$mixed$random), as.character(model$mixed$fixed), isTRUE(model$mixed$unrestricted),
               isTRUE(model$mixed$restricted), isTRUE(model$mixed$ems), dispersion$factor, dispersion$bias_adjust,
               dispersion$median, dispersion$p_adjust, dispersion$pairwise, as.integer(scaling))
  for (w in out$warnings) warning(w, call. = FALSE)
  if (!out$ok) engine_failure(out, call)
  m <- result_object(out, response, factors, list(transform = used$transform, distance = used$name,
                                             binary = binary, sqrt_dist = sqrt_dist, method = response$method,
                                             permutations = as.integer(permutations),
                                             task = task, seed = seed_value, seeded = !is.null(seed),
                                             threads = if (is.null(threads)) NA_integer_ else as.integer(threads),
                                             main_units = main_units, exact = exact,
                                             correction = correction, lingoes_constant = out$lingoes,
                                             residual_axes = if (axes < 0L) NA_integer_ else axes,
                                             scaling = as.integer(scaling),
                                             arrangements = out$arrangements, exact_test = out$exact),
                     call, model)
  if (!is.null(out$dispersion)) {
    m$dispersion <- dispersion_result(out$dispersion, response)
    if (!is.null(out$dispersion_units)) m$dispersion$units <- dispersion_result(out$dispersion_units, response)
  }
  if (length(dispersion$pairwise)) {
    terms <- vapply(out$pairwise, function(x) x$term, "")
    m$pairwise <- setNames(lapply(out$pairwise, pairwise_table), terms)
    # The average distances within (LevelA = LevelB) and between the levels, within each parents' level.
    m$pairwise_distances <- setNames(lapply(out$pairwise, function(x) {
      d <- x$distances
      data.frame(Within = ifelse(nzchar(d$within), d$within, NA_character_), LevelA = d$a, LevelB = d$b,
                 Pairs = as.integer(d$pairs), MeanDistance = d$mean, stringsAsFactors = FALSE)
    }), terms)
  }
  m
}

# An error of the engine as an R condition of class morvenak_error and, by
# kind, morvenak_invalid_input (status 2), morvenak_stopped (status 1) or
# morvenak_cancelled. A stop's message is the command line's words for it,
# its field `reason` the code of why ("zero_column_sums", "nesting_order",
# ...) and `reasons` what the engine reported before it. An interrupt of the
# user is signalled as R's own interrupt, and an error that R raised while the
# engine ran (a time limit of setTimeLimit()) is raised again, as R raised it,
# once the engine has stopped.
engine_failure <- function(out, call) {
  if (identical(out$kind, "interrupt")) {
    signalCondition(structure(class = c("morvenak_interrupt", "interrupt", "condition"),
                              list(message = "the analysis was interrupted", call = call)))
    invokeRestart("abort")
  }
  if (identical(out$kind, "r_error")) {
    condition <- out$condition
    condition$call <- call
    stop(condition)
  }
  kind <- switch(out$kind, invalid = "morvenak_invalid_input", stopped = "morvenak_stopped",
                 cancelled = "morvenak_cancelled")
  status <- if (identical(out$kind, "invalid")) 2L else 1L
  fields <- list(message = out$message, call = call, status = status)
  if (identical(out$kind, "stopped"))
    fields <- c(fields, list(reason = out$reason, reasons = unique(out$reasons)))
  stop(structure(class = c(kind, "morvenak_error", "error", "condition"), fields))
}

stop_morvenak <- function(message, call = NULL) {
  stop(structure(class = c("morvenak_invalid_input", "morvenak_error", "error", "condition"),
                 list(message = message, call = call, status = 2L)))
}

# ---------------------------------------------------------------- inputs

# What the analysis decomposes: Y as a double matrix (y), or the
# dissimilarities of a "dist" object as an n x n matrix (d, with y of no
# columns), with the objects' names (a dist object's labels: matched to the
# rows of `data` by name when it has them) and the species'.
response_of <- function(Y) {
  if (inherits(Y, "dist")) {
    n <- attr(Y, "Size")
    if (is.null(n) || length(Y) != n * (n - 1) / 2)
      stop_morvenak("Y is a 'dist' object whose size does not match its values")
    if (n < 2L) stop_morvenak("the distances need at least 2 objects")
    labels <- attr(Y, "Labels")
    if (!is.null(labels)) {
      labels <- as.character(labels)
      if (anyDuplicated(labels))
        stop_morvenak(sprintf("the distances' labels name object '%s' twice", labels[anyDuplicated(labels)]))
    }
    d <- as.matrix(Y)
    storage.mode(d) <- "double"
    dimnames(d) <- NULL
    return(list(y = matrix(0, n, 0L), d = d, labels = labels,
                samples = if (is.null(labels)) as.character(seq_len(n)) else labels, species = character(),
                method = if (is.null(attr(Y, "method"))) NA_character_ else as.character(attr(Y, "method"))[1L]))
  }
  y <- response_matrix(Y)
  samples <- rownames(y)
  if (is.null(samples)) samples <- as.character(seq_len(nrow(y)))
  species <- colnames(y)
  if (is.null(species)) species <- paste0("sp", seq_len(ncol(y)))
  list(y = y, d = NULL, labels = NULL, samples = samples, species = species, method = NA_character_)
}

# The rows of `data` for the objects: as given for Y, and for distances with
# labels, the rows named by them in their order.
rows_for <- function(data, response) {
  n <- length(response$samples)
  data <- checked_data(data, n)
  if (is.null(response$labels) || !is.data.frame(data)) return(data)
  at <- match(response$labels, rownames(data))
  if (anyNA(at))
    stop_morvenak(sprintf("the distances' label '%s' names no row of 'data': the labels are matched to the row names of 'data'",
                          response$labels[which(is.na(at))[1L]]))
  data[at, , drop = FALSE]
}

response_matrix <- function(Y) {
  if (is.data.frame(Y)) {
    numeric <- vapply(Y, function(column) is.numeric(column) && !is.factor(column), TRUE)
    if (!all(numeric)) {
      bad <- names(Y)[!numeric][1L]
      stop_morvenak(sprintf("Y must be numeric: its column '%s' holds %s values", bad,
                            class(Y[[bad]])[1L]))
    }
    Y <- as.matrix(Y)
  }
  if (is.vector(Y) && is.numeric(Y)) Y <- matrix(Y, ncol = 1L, dimnames = list(names(Y), NULL))
  if (!is.matrix(Y) || !is.numeric(Y))
    stop_morvenak(sprintf("Y must be a numeric matrix or data frame, not %s",
                          if (is.matrix(Y)) paste("a", typeof(Y), "matrix") else class(Y)[1L]))
  if (nrow(Y) < 2L) stop_morvenak("Y needs at least 2 objects (rows)")
  if (ncol(Y) < 1L) stop_morvenak("Y needs at least 1 species (column)")
  # Y itself, not a copy, where it is a double matrix already: the names
  # that it lacks are made beside it.
  if (!is.double(Y)) storage.mode(Y) <- "double"
  Y
}

checked_data <- function(data, n = NULL) {
  if (is.null(data)) return(NULL)
  if (!is.data.frame(data) && !is.list(data))
    stop_morvenak("'data' must be a data frame")
  if (!is.null(n) && is.data.frame(data) && nrow(data) != n)
    stop_morvenak(sprintf("'data' has %d rows for %d objects (rows of Y)", nrow(data), n))
  data
}

# A factor given as a column name of `data` or as values.
factor_of <- function(x, expr_name, data, role) {
  if (is.character(x) && length(x) == 1L && !is.null(data)) {
    if (!x %in% names(data))
      stop_morvenak(sprintf("'data' has no column '%s' (for the %s factor)", x, role))
    return(labels_of(data[[x]], x))
  }
  labels_of(x, expr_name)
}

nested_factors <- function(nested, expr, data) {
  if (is.null(nested)) return(list())
  if (is.character(nested) && !is.null(data) && length(nested) %in% 1:2 && all(nested %in% names(data)))
    return(lapply(nested, function(name) labels_of(data[[name]], name)))
  if (is.list(nested) && !is.data.frame(nested)) {
    if (length(nested) > 2L) stop_morvenak("'nested' holds at most two factors")
    given <- names(nested)
    return(lapply(seq_along(nested), function(k) {
      name <- if (!is.null(given) && nzchar(given[k])) given[k] else {
        if (is.call(expr) && identical(expr[[1L]], as.name("list")) && length(expr) > k) deparse1(expr[[k + 1L]])
        else paste0("nested", k)
      }
      factor_of(nested[[k]], name, data, "nested")
    }))
  }
  if (is.data.frame(nested)) {
    if (ncol(nested) > 2L) stop_morvenak("'nested' holds at most two factors")
    return(lapply(names(nested), function(name) labels_of(nested[[name]], name)))
  }
  list(factor_of(nested, deparse1(expr), data, "nested"))
}

# The labels of one factor as text, in row order, and the order of its levels:
# a factor's levels() (those no object has are passed over), or, for a vector
# of labels, none (the engine numbers the levels in order of first appearance).
labels_of <- function(x, name) {
  if (is.data.frame(x) || is.list(x) || !is.null(dim(x)))
    stop_morvenak(sprintf("factor '%s' must be a vector or a factor, one label per object", name))
  if (!(is.factor(x) || is.character(x) || is.numeric(x) || is.logical(x)))
    stop_morvenak(sprintf("factor '%s' must be a factor, or a vector of labels, not %s", name, class(x)[1L]),
                  call = NULL)
  missing <- which(is.na(x))
  if (length(missing))
    stop_morvenak(sprintf("factor '%s' has no label (NA) for object %d", name, missing[1L]))
  list(name = name, labels = as.character(x), order = if (is.factor(x)) levels(x) else character())
}

# A name of the formula that is neither a column of `data` nor a variable
# where the formula was written, refused in the words of the default method.
found <- function(expr, role, data, env) {
  if (!is.name(expr)) return(invisible())
  name <- as.character(expr)
  if (name %in% names(data) || exists(name, envir = env)) return(invisible())
  if (is.null(data))
    stop_morvenak(sprintf("'%s' is not found (for %s): no 'data' was given, and no variable has that name where the formula was written",
                          name, role))
  stop_morvenak(sprintf("'data' has no column '%s' (for %s)", name, role))
}

# The factors of the formula's right side, in nesting order: a / b / c. A
# constant is no factor: Y ~ 1 has no main factor.
nesting_terms <- function(rhs, whole = rhs) {
  if (!is.name(rhs) && !is.call(rhs)) {
    if (identical(rhs, whole))
      stop_morvenak(sprintf("the formula needs a main factor on its right side, not '%s': Y ~ Main / Nested",
                            deparse1(rhs)))
    stop_morvenak(sprintf("the formula's right side '%s' holds '%s', which is not a factor: write a main factor and the factors nested in it, joined by '/' (Main / Nested)",
                          deparse1(whole), deparse1(rhs)))
  }
  if (is.call(rhs) && identical(rhs[[1L]], as.name("/")))
    return(c(nesting_terms(rhs[[2L]], whole), nesting_terms(rhs[[3L]], whole)))
  if (is.call(rhs) && identical(rhs[[1L]], as.name("(")))
    return(nesting_terms(rhs[[2L]], whole))
  if (is.call(rhs) && deparse1(rhs[[1L]]) %in% c("+", "*", ":", "-", "^", "|"))
    stop_morvenak(sprintf("the formula's right side '%s' uses '%s': write a main factor and the factors nested in it, joined by '/' (Main / Nested)",
                          deparse1(rhs), deparse1(rhs[[1L]])))
  list(rhs)
}

whole_number <- function(x, what, low, high) {
  if (!is.numeric(x) || length(x) != 1L || is.na(x) || x != round(x) || x < low || x > high)
    stop_morvenak(sprintf("'%s' must be a whole number from %s to %s", what,
                          format(low, scientific = FALSE), format(high, scientific = FALSE)))
  x
}

# ---------------------------------------------------------------- the result

result_object <- function(out, response, factors, options, call, model = NULL) {
  if (!is.null(model)) return(model_result(out, response, factors, options, call, model))
  rows <- out$rows
  factor_names <- vapply(factors, function(f) f$name, "")
  nf <- length(factors)
  is_factor <- rows$source %in% c("main", "nested1", "nested2")
  is_total <- rows$source == "total"
  na_unless <- function(v, keep) ifelse(keep, v, NA)
  table <- data.frame(
    Df = rows$df1,
    Df.den = na_unless(rows$df2, is_factor),
    SumOfSqs = rows$ss,
    MeanSqs = na_unless(rows$ms, !is_total & !is.nan(rows$ms)),
    F = na_unless(rows$f, is_factor & rows$formed),
    `Pr(>F)` = na_unless(rows$p, rows$tested),
    R2 = rows$r2,
    check.names = FALSE)
  rownames(table) <- c(factor_names, "Within", "Total")
  notes <- setNames(rows$note, rownames(table))
  notes <- notes[nzchar(notes)]
  # A nested level's parent is a label within its own parent: `within` names
  # all its parents' levels, "South: field 1", as the dispersion's and the
  # pairs' tables do.
  levels <- vector("list", nf)
  path <- NULL
  for (k in seq_len(nf)) {
    coding <- out$codings[[k]]
    within <- if (k > 1L) path[coding$parent] else NA_character_
    levels[[k]] <- data.frame(level = coding$levels,
                              parent = if (k > 1L) out$codings[[k - 1L]]$levels[coding$parent] else NA_character_,
                              within = within, count = coding$counts, stringsAsFactors = FALSE)
    path <- if (k > 1L) paste(within, coding$levels, sep = ": ") else coding$levels
  }
  names(levels) <- factor_names
  groups <- as.data.frame(setNames(lapply(factors, function(f) f$labels), factor_names),
                          stringsAsFactors = FALSE, optional = TRUE)
  rownames(groups) <- response$samples
  ordinations <- lapply(out$ordinations, function(o) ordination_object(o, response))
  names(ordinations) <- vapply(out$ordinations, function(o) {
    switch(o$source, main = factor_names[1L], nested1 = factor_names[2L], nested2 = factor_names[3L],
           "Within")
  }, "")
  structure(list(table = table, ssy = out$ssy, ordinations = ordinations, levels = levels,
                 groups = groups, notes = notes, counts = setNames(rows$count, rownames(table)),
                 n = length(response$samples), p = length(response$species), call = call, options = options),
            class = "morvenak")
}

# What a term's test permuted: the rows as they are, or the residuals of its
# reduced model ("" for a row not tested), as results.tsv writes it.
permuted_of <- function(tested, reduced) {
  mapply(function(t, r) if (!t) "" else if (!length(r)) "rows" else paste("residuals of", paste(r, collapse = " + ")),
         tested, reduced, USE.NAMES = FALSE)
}

# The result of a model of terms: a row for each term (a Condition() term
# partialled out, not tested), the residual and the total.
model_result <- function(out, response, factors, options, call, model) {
  rows <- out$rows
  term <- rows$source == "term"
  tested_term <- term & !rows$condition
  is_total <- rows$source == "total"
  na_unless <- function(v, keep) ifelse(keep, v, NA)
  # A mixed design's denominator combined from several mean squares has
  # Satterthwaite's degrees of freedom, no whole number.
  df2 <- if (out$mixed) ifelse(is.na(rows$approximate_df2), as.double(rows$df2), rows$approximate_df2) else rows$df2
  table <- data.frame(
    Df = rows$df1,
    Df.den = na_unless(df2, tested_term),
    SumOfSqs = rows$ss,
    MeanSqs = na_unless(rows$ms, rows$source != "total" & !is.nan(rows$ms)),
    F = na_unless(rows$f, tested_term & rows$formed),
    `Pr(>F)` = na_unless(rows$p, rows$tested),
    R2 = rows$r2,
    permutations = ifelse(rows$tested, as.integer(rows$permutations), 0L),
    permuted = permuted_of(rows$tested, rows$reduced),
    check.names = FALSE, stringsAsFactors = FALSE)
  if (out$mixed) {
    # The expected mean squares of a mixed design: each term's denominator,
    # a mean square or a combination of them in words (none where nothing
    # has the expectation of its numerator's under its hypothesis), and its
    # component of variation.
    table$Random <- rows$random
    table$Denominator <- ifelse(tested_term & nzchar(rows$denominator), rows$denominator, NA_character_)
    table$EMS <- rows$ems
    table$Component <- rows$component
    table$SqrtComponent <- ifelse(!is.na(rows$component) & rows$component >= 0, sqrt(pmax(rows$component, 0)), NA)
    table$Units <- rows$units
  }
  rownames(table) <- rows$label
  notes <- setNames(rows$note, rows$label)
  notes <- notes[nzchar(notes)]
  variables <- c(setNames(lapply(factors, function(f) f$labels), vapply(factors, function(f) f$name, "")),
                 model$covariates)
  groups <- as.data.frame(variables, stringsAsFactors = FALSE, optional = TRUE)
  if (length(variables)) rownames(groups) <- response$samples
  options$model <- model$text
  options$ss <- model$ss
  options$covariates <- names(model$covariates)
  options$strata <- if (is.null(model$strata)) NA_character_ else model$strata$name
  options$mixed <- out$mixed
  if (out$mixed) {
    options$random <- out$random_factors
    options$fixed <- model$mixed$fixed
    options$restricted <- out$restricted
    options$balanced <- out$balanced
    options$denominator <- if (isTRUE(model$mixed$ems)) "ems" else "classic"
  }
  # The ordinations of each term's added fit, named by the term, then the residuals'.
  ordinations <- lapply(out$ordinations, function(o) ordination_object(o, response))
  names(ordinations) <- vapply(out$ordinations, function(o) if (nzchar(o$term)) o$term else "Within", "")
  structure(list(table = table, ssy = out$ssy, ordinations = ordinations, levels = list(), groups = groups,
                 notes = notes, counts = setNames(rows$count, rows$label),
                 condition = setNames(rows$condition, rows$label), reduced = setNames(rows$reduced, rows$label),
                 ems = if (out$mixed) setNames(rows$ems_parts[!is_total], rows$label[!is_total]),
                 denominators = if (out$mixed) setNames(rows$denominator_parts[tested_term], rows$label[tested_term]),
                 strata = if (!is.null(model$strata)) model$strata$labels,
                 n = length(response$samples), p = length(response$species), call = call, options = options),
            class = "morvenak")
}

# The test of dispersion: the F of the distances to the levels' centres and
# its P, each level's figures (Within: its parents' levels, NA for a main
# factor), each pair's Welch t and P, and each unit's distance (a unit a
# sample, or a subgroup's centre: `units` names the factor of the subgroups).
dispersion_result <- function(d, response) {
  pairs <- d$pairs
  within <- ifelse(nzchar(d$level_within), d$level_within, NA_character_)
  list(factor = d$factor, within = if (nzchar(d$within)) d$within else NULL,
       units = if (nzchar(d$units)) d$units else NULL, centre = if (d$median) "median" else "centroid",
       F = d$f, P = d$p, df1 = d$df1, df2 = d$df2,
       permutations = as.integer(d$permutations), count = d$count, bias_adjust = d$bias_adjust,
       p_adjust = d$p_adjust,
       levels = data.frame(Within = within, Level = d$levels, N = d$n, MeanDistance = d$mean, SD = d$sd,
                           stringsAsFactors = FALSE),
       pairs = data.frame(Within = within[pairs$a], LevelA = d$levels[pairs$a], LevelB = d$levels[pairs$b],
                          t = pairs$t, Df = pairs$df, P = pairs$p, PAdjusted = pairs$p_adjusted,
                          stringsAsFactors = FALSE),
       distances = setNames(d$z, if (nzchar(d$units)) d$unit_names else response$samples))
}

# A factor's pairwise tests as a data frame, a row per pair (the columns of
# the command line's pairwise.tsv), NA where a cell is empty: Within for a
# main factor's pairs, Note for a pair that has its F and P. A factor that
# has no pairs (its note says why) is one row of its Term and Note. The
# adjustment of its P is the attribute "p_adjust".
pairwise_table <- function(x) {
  blank <- function(s) ifelse(nzchar(s), s, NA_character_)
  table <- if (nzchar(x$note))
    data.frame(Term = x$term, Within = NA_character_, LevelA = NA_character_, LevelB = NA_character_,
               F = NA_real_, t = NA_real_, Df = NA_integer_, Df.den = NA_real_, P = NA_real_, PAdjusted = NA_real_,
               Permutations = 0L, Note = x$note, stringsAsFactors = FALSE)
  else
    data.frame(Term = rep(x$term, length(x$a)), Within = blank(x$within), LevelA = x$a, LevelB = x$b,
               F = x$f, t = x$t, Df = as.integer(x$df1), Df.den = x$df2, P = x$p, PAdjusted = x$p_adjusted,
               Permutations = as.integer(x$permutations), Note = blank(x$pair_note), stringsAsFactors = FALSE)
  attr(table, "p_adjust") <- x$p_adjust
  table
}

ordination_object <- function(o, response) {
  sites <- o$sites
  axes <- if (ncol(sites)) paste0("Axis", seq_len(ncol(sites)))  # NULL: R names no empty extent
  species <- o$species
  dimnames(sites) <- list(response$samples, axes)
  dimnames(species) <- list(response$species, axes)
  # A canonical ordination's site scores: the table less the fits of the terms
  # fitted before its own, on its axes (NULL for the residuals).
  site_scores <- o$site_scores
  if (!is.null(site_scores)) dimnames(site_scores) <- list(response$samples, axes)
  list(title = o$title, canonical = o$canonical,
       eigenvalues = setNames(o$eigenvalues, axes), proportions = setNames(o$proportions, axes),
       sites = sites, species = species, site_scores = site_scores, scaling = o$scaling,
       principal_coordinates = o$principal_coordinates,
       negative_eigenvalues = o$negative_eigenvalues, negative_share = o$negative_share,
       note = if (nzchar(o$no_axes)) paste("no axes:", o$no_axes) else "")
}

engine_version <- function() .Call(morvenak_engine_version)
